#include "config/config_line.h"

#include <cstring>

namespace tarvex {

namespace {

// ---------------------------------------------------------------------------
// Formatted input
//
// The conversions scanf would make, written out so that a number too large
// for its field has one defined result on every C runtime instead of the
// undefined behaviour the standard allows.
// ---------------------------------------------------------------------------

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(char c, uint32_t base) {
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    return value >= 0 && static_cast<uint32_t>(value) < base ? value : -1;
}

class FormatScanner {
public:
    explicit FormatScanner(const char* text) : cursor_(text) {}

    // A blank in `literal` matches any run of white space, also none.
    bool match(const char* literal) {
        for (; *literal != '\0'; ++literal) {
            if (*literal == ' ') {
                skip_space();
            } else if (*cursor_ == *literal) {
                ++cursor_;
            } else {
                return false;
            }
        }
        return true;
    }

    // %d and %x: leading white space, an optional sign, then at least one
    // digit (for %x after an optional "0x" or "0X").
    bool number(uint32_t base, uint32_t& out) {
        skip_space();
        const char* p = cursor_;
        bool negative = false;
        if (*p == '+' || *p == '-') negative = *p++ == '-';
        if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
            digit_value(p[2], 16) >= 0) {
            p += 2;
        }
        if (digit_value(*p, base) < 0) return false;
        uint32_t value = 0;
        for (int digit; (digit = digit_value(*p, base)) >= 0; ++p) {
            value = value * base + static_cast<uint32_t>(digit);
        }
        cursor_ = p;
        out = negative ? 0u - value : value;
        return true;
    }

    // `text` followed by white space or the end of the line; nothing is
    // consumed when it does not match.
    bool word(const char* text) {
        const size_t length = std::strlen(text);
        if (std::strncmp(cursor_, text, length) != 0) return false;
        const char after = cursor_[length];
        if (after != '\0' && !is_space(after)) return false;
        cursor_ += length;
        return true;
    }

    // The rest of the line without the white space at its end, cut to fit
    // `out` (zero-terminated).
    void rest(char* out, size_t capacity) {
        size_t length = std::strlen(cursor_);
        while (length != 0 && is_space(cursor_[length - 1])) --length;
        if (length >= capacity) length = capacity - 1;
        std::memcpy(out, cursor_, length);
        out[length] = '\0';
        cursor_ += length;
    }

private:
    void skip_space() {
        while (is_space(*cursor_)) ++cursor_;
    }

    const char* cursor_;
};

// "<prefix>%d" or "<prefix>%x" into `target`, unchanged when it fails.
void scan_one(const char* line, const char* prefix, uint32_t base, uint32_t& target) {
    FormatScanner scanner(line);
    uint32_t value = 0;
    if (scanner.match(prefix) && scanner.number(base, value)) target = value;
}

// "<prefix><file>": the file is the rest of the line, white space around it
// cut; `target` is unchanged when the prefix does not match.
template <size_t capacity>
void scan_file_name(const char* line, const char* prefix, char (&target)[capacity]) {
    FormatScanner scanner(line);
    if (scanner.match(prefix)) scanner.rest(target, capacity);
}

// "Live: [<a.b.c.d>:]<port> [<queue MiB>]"; `target` is unchanged unless
// the address and port parse.
void scan_live(const char* line, LiveSetting& target) {
    FormatScanner scanner(line);
    LiveSetting live;
    uint32_t first = 0;
    if (!scanner.match("Live: ") || !scanner.number(10, first)) return;
    uint32_t port = first;
    if (scanner.match(".")) {
        uint32_t address = first;
        for (int part = 1; part < 4; ++part) {
            uint32_t value = 0;
            if ((part > 1 && !scanner.match(".")) || !scanner.number(10, value) || value > 255)
                return;
            address = address << 8 | value;
        }
        if (first > 255 || !scanner.match(":") || !scanner.number(10, port)) return;
        live.address = address;
    }
    if (port > 65535) return;
    live.port = static_cast<uint16_t>(port);
    uint32_t mib = 0;
    if (scanner.number(10, mib) && mib >= 1 && mib <= 1024) live.queue_mib = mib;
    live.on = true;
    target = live;
}

struct KeyPattern {
    const char* substring;
    ConfigKey key;
};

// Tested in this order; the first one the line contains decides.
const KeyPattern key_patterns[] = {
    {"BackTraceMode", ConfigKey::back_trace_mode},
    {"BreakAllocId", ConfigKey::break_alloc_id},
    {"BreakContextId", ConfigKey::break_context_id},
    {"BreakMinSize", ConfigKey::break_min_size},
    {"BreakMaxSize", ConfigKey::break_max_size},
    {"TraceDepth:", ConfigKey::trace_depth},
    {"Budget:", ConfigKey::budget},
    {"StackWalk:", ConfigKey::stack_walk},
    {"Timeline:", ConfigKey::timeline},
    {"LogFile:", ConfigKey::log_file},
    {"Live:", ConfigKey::live},
};

ConfigKey classify(const char* line) {
    if (line[0] == '\0' || line[0] == '#') return ConfigKey::ignored;
    for (const KeyPattern& pattern : key_patterns) {
        if (std::strstr(line, pattern.substring) != nullptr) return pattern.key;
    }
    return ConfigKey::ignored;
}

}  // namespace

ConfigKey parse_config_line(const char* line, ConfigSettings& settings, TraceDepthSetting& depth,
                            BudgetSetting& budget) {
    const ConfigKey key = classify(line);
    MemTypeDefs::BreakPoint& breakpoint = settings.breakpoint;
    switch (key) {
        case ConfigKey::back_trace_mode: {
            uint32_t mode = static_cast<uint32_t>(settings.back_trace_mode);
            scan_one(line, "BackTraceMode: ", 10, mode);
            settings.back_trace_mode = static_cast<int32_t>(mode);
            break;
        }
        case ConfigKey::break_alloc_id:
            scan_one(line, "BreakAllocId: ", 10, breakpoint.alloc_id);
            break;
        case ConfigKey::break_context_id:
            scan_one(line, "BreakContextId: 0x", 16, breakpoint.context_id);
            break;
        case ConfigKey::break_min_size:
            scan_one(line, "BreakMinSize: ", 10, breakpoint.min_size);
            break;
        case ConfigKey::break_max_size:
            scan_one(line, "BreakMaxSize: ", 10, breakpoint.max_size);
            break;
        case ConfigKey::trace_depth: {
            FormatScanner scanner(line);
            if (!scanner.match("TraceDepth: ")) break;
            if (scanner.match("*")) {
                depth.every_context = true;
                scanner.number(10, depth.depth);
            } else if (scanner.match("0x") && scanner.number(16, depth.context_id) &&
                       scanner.match(" ")) {
                scanner.number(10, depth.depth);
            }
            break;
        }
        case ConfigKey::budget: {
            FormatScanner scanner(line);
            if (scanner.match("Budget: 0x") && scanner.number(16, budget.context_id) &&
                scanner.match(" ") && scanner.number(10, budget.soft) && scanner.match(" ")) {
                scanner.number(10, budget.hard);
            }
            break;
        }
        case ConfigKey::stack_walk: {
            // The value is a word; what follows it after white space does not
            // matter, as with the numbers.
            FormatScanner scanner(line);
            if (scanner.match("StackWalk: ")) {
                if (scanner.word("safe")) settings.safe_stack_walk = true;
                if (scanner.word("frames")) settings.safe_stack_walk = false;
            }
            break;
        }
        case ConfigKey::timeline:
            scan_file_name(line, "Timeline: ", settings.timeline_file);
            break;
        case ConfigKey::log_file:
            scan_file_name(line, "LogFile: ", settings.log_file);
            break;
        case ConfigKey::live:
            scan_live(line, settings.live);
            break;
        case ConfigKey::ignored:
            break;
    }
    return key;
}

}  // namespace tarvex
