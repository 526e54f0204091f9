// Feeds arbitrary bytes to the per-line parser of tarvex.ini, cut as the
// reader cuts them: at most 4094 characters, zero-terminated, in a buffer of
// exactly that size so that any read past the terminator is caught.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/config_line.h"

using namespace tarvex;

namespace {

constexpr size_t longest_piece = 4094;

bool same(const ConfigSettings& a, const ConfigSettings& b) {
    return a.back_trace_mode == b.back_trace_mode &&
           std::memcmp(&a.breakpoint, &b.breakpoint, sizeof(a.breakpoint)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t length = size < longest_piece ? size : longest_piece;
    std::unique_ptr<char[]> line(new char[length + 1]);
    std::memcpy(line.get(), data, length);
    line[length] = '\0';

    const ConfigSettings before;
    ConfigSettings settings;
    TraceDepthSetting depth;
    BudgetSetting budget;
    const ConfigKey key = parse_config_line(line.get(), settings, depth, budget);

    // A line that names no scalar key leaves every scalar setting alone, only
    // a "TraceDepth:" line produces a pair and only a "Budget:" line budgets.
    const bool scalar =
        key != ConfigKey::ignored && key != ConfigKey::trace_depth && key != ConfigKey::budget;
    if (!scalar && !same(settings, before)) std::abort();
    if (key != ConfigKey::trace_depth && (depth.context_id != 0 || depth.depth != 0)) std::abort();
    if (key != ConfigKey::budget &&
        (budget.context_id != 0 || budget.soft != 0 || budget.hard != 0))
        std::abort();
    if ((line[0] == '#' || line[0] == '\0') && key != ConfigKey::ignored) std::abort();
    return 0;
}
