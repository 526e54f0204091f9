// Context budgets and scoped leak checks, in a process started with
// "BackTraceMode: 1" and a "Budget:" line (argument "tracked"), or without
// any tarvex.ini (argument "off"), where budgets must change nothing.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "reports/expected_text.h"
#include "support/context_info.h"
#include "support/file_check.h"
#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

namespace {

std::vector<std::string> logged;
void remember(const char* text, bool) {
    logged.push_back(text);
}

std::vector<MemTrackEntry> breaks;
void on_break(const MemTrackEntry* entry) {
    breaks.push_back(*entry);
}

std::string fragment(uint32_t alloc_id, const void* p, uint32_t size) {
    return formatted("        <Fragment AllocId=\"%u\" Adress=\"0x%" PRIxPTR
                     "\" Size=\"%u\" Info=\"\">\r\n        </Fragment>\r\n",
                     alloc_id, reinterpret_cast<uintptr_t>(p), size);
}

const std::string declaration =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<MemTrackReport Version=\"1.0\">\r\n";

const char* const soft_warning = "Tarvex: WARNING: Context Soft over its budget: %u of 100 bytes\n";

// The crossing warns once, right after the allocation that crossed, with
// break_func on that block; it warns again only after usage fell back. A
// report written while over marks the context.
void soft_budget_warns_once_per_crossing() {
    const uint32_t id = 0x601;
    Tarvex::context_init(Tarvex::ContextBase("Soft", id));
    Tarvex::set_context_budget(id, 100, 0);
    Tarvex::the_config.break_func = on_break;
    void* a = Tarvex::std_alloc(60, id);
    const uint32_t token = Tarvex::scope_begin(id);
    void* b = Tarvex::std_alloc(40, id);  // 100: at the budget, not above it
    SCENARIO_CHECK(logged.empty() && breaks.empty());
    void* c = Tarvex::std_alloc(20, id);
    SCENARIO_CHECK(logged.size() == 1 && logged[0] == formatted(soft_warning, 120));
    SCENARIO_CHECK(breaks.size() == 1 && breaks[0].address == c && breaks[0].size == 20 &&
                   breaks[0].alloc_id == token + 1);
    void* x = Tarvex::fast_alloc(10, id);
    Tarvex::mem_track_add(id, &breaks, 4, "host block");
    SCENARIO_CHECK(logged.size() == 1 && breaks.size() == 1);

    logged.clear();
    SCENARIO_CHECK(Tarvex::scope_end(id, token, "over.xml") == 4);
    SCENARIO_CHECK(read_file("over.xml")
                       .find("    <Context Name=\"Soft\" Id=\"0x601\" Fragments=\"4\" "
                             "SizeAccumulation=\"74\" MemUsage=\"134\" MemUsagePeek=\"134\" "
                             "OverBudget=\"1\">\r\n") != std::string::npos);
    Tarvex::mem_track_remove(id, &breaks);
    Tarvex::fast_free(x, 10, id);

    // Falling back to exactly the budget re-arms the warning.
    Tarvex::std_free(c, id);
    logged.clear();
    void* e = Tarvex::std_alloc(1, id);
    SCENARIO_CHECK(logged.size() == 1 && logged[0] == formatted(soft_warning, 101));
    SCENARIO_CHECK(breaks.size() == 2 && breaks[1].address == e);

    // A budget set below the current usage warns at the next allocation.
    Tarvex::set_context_budget(id, 50, 0);
    logged.clear();
    void* f = Tarvex::std_alloc(1, id);
    SCENARIO_CHECK(logged.size() == 1 &&
                   logged[0] == "Tarvex: WARNING: Context Soft over its budget: 102 of 50 bytes\n");
    Tarvex::the_config.break_func = nullptr;
    for (void* block : {a, b, e, f}) Tarvex::std_free(block, id);
    SCENARIO_CHECK(context_info_of(id).usage == 0);
    breaks.clear();
    logged.clear();
}

const char* const exhausted = "Tarvex: ERROR: Context Hard budget exhausted\n";

// A refused request allocates nothing and tracks nothing; every way in is
// refused, the budget itself may be filled exactly, and releases go through.
void hard_budget_refuses_and_reports() {
    const uint32_t id = 0x602;
    Tarvex::context_init(Tarvex::ContextBase("Hard", id, Tarvex::SmallBlkList));
    Tarvex::set_context_budget(id, 0, 100);
    void* a = Tarvex::std_alloc(64, id);
    std::memset(a, 0x11, 64);
    const uint32_t checkpoint = Tarvex::get_checkpoint();
    SCENARIO_CHECK(Tarvex::std_alloc(37, id) == nullptr);
    SCENARIO_CHECK(Tarvex::fast_alloc(37, id) == nullptr);
    SCENARIO_CHECK(Tarvex::aligned_alloc(37, 16, id) == nullptr);
    SCENARIO_CHECK(Tarvex::std_alloc(0xffffffffu, id) == nullptr);  // usage must not wrap
    SCENARIO_CHECK(Tarvex::std_realloc(a, 200, id) == nullptr);
    SCENARIO_CHECK(logged.size() == 5);
    for (const std::string& line : logged) SCENARIO_CHECK(line == exhausted);
    Tarvex::ContextBase info = context_info_of(id);
    SCENARIO_CHECK(info.usage == 64 && info.fragments == 1 && info.usage_peak == 64);
    SCENARIO_CHECK(Tarvex::get_checkpoint() == checkpoint);
    SCENARIO_CHECK(static_cast<unsigned char*>(a)[63] == 0x11);

    void* rest = Tarvex::fast_alloc(36, id);
    SCENARIO_CHECK(rest != nullptr && context_info_of(id).usage == 100);
    Tarvex::fast_free(rest, 36, id);
    Tarvex::std_free(a, id);
    SCENARIO_CHECK(context_info_of(id).usage == 0);

    // A sink that allocates in the exhausted context is refused too, without
    // a message of its own, so it cannot recurse.
    static int sink_calls = 0;
    Tarvex::the_config.log_func = [](const char*, bool) {
        ++sink_calls;
        SCENARIO_CHECK(Tarvex::std_alloc(200, 0x602) == nullptr);
    };
    SCENARIO_CHECK(Tarvex::std_alloc(101, id) == nullptr);
    SCENARIO_CHECK(sink_calls == 1);
    Tarvex::the_config.log_func = remember;

    // Unknown ids are ignored and read back as no budget; null outputs too.
    Tarvex::set_context_budget(0x6ff, 1, 2);
    uint32_t soft = 7, hard = 7;
    Tarvex::get_context_budget(0x6ff, &soft, &hard);
    SCENARIO_CHECK(soft == 0 && hard == 0);
    Tarvex::get_context_budget(id, nullptr, &hard);
    SCENARIO_CHECK(hard == 100);
    logged.clear();
}

// tarvex.ini gives "Budget: 0x603 100 200" to the context made later.
void configured_budgets_reach_new_contexts() {
    uint32_t soft = 0, hard = 0;
    Tarvex::get_context_budget(0x603, &soft, &hard);
    SCENARIO_CHECK(soft == 0 && hard == 0);  // no context yet
    Tarvex::context_init(Tarvex::ContextBase("Configured", 0x603));
    Tarvex::get_context_budget(0x603, &soft, &hard);
    SCENARIO_CHECK(soft == 100 && hard == 200);
    void* a = Tarvex::std_alloc(150, 0x603);
    SCENARIO_CHECK(logged.size() == 1 &&
                   logged[0] ==
                       "Tarvex: WARNING: Context Configured over its budget: 150 of 100 bytes\n");
    SCENARIO_CHECK(Tarvex::std_alloc(51, 0x603) == nullptr);
    Tarvex::std_free(a, 0x603);
    logged.clear();
}

// Only blocks of the context allocated since the token and still live are
// counted, and only they are written.
void scopes_count_their_context_since_the_token() {
    const uint32_t id = 0x604, other = 0x605;
    Tarvex::context_init(Tarvex::ContextBase("Scoped", id));
    Tarvex::context_init(Tarvex::ContextBase("Beside", other));
    void* before = Tarvex::std_alloc(8, id);
    const uint32_t token = Tarvex::scope_begin(id);
    void* kept = Tarvex::std_alloc(24, id);
    void* freed = Tarvex::std_alloc(16, id);
    void* elsewhere = Tarvex::std_alloc(32, other);
    Tarvex::std_free(freed, id);
    SCENARIO_CHECK(Tarvex::scope_end(id, token, nullptr) == 1);
    SCENARIO_CHECK(Tarvex::scope_end(other, token, nullptr) == 1);
    SCENARIO_CHECK(Tarvex::scope_end(id, Tarvex::get_checkpoint(), "empty_scope.xml") == 0);
    SCENARIO_CHECK(!file_exists("empty_scope.xml"));
    SCENARIO_CHECK(Tarvex::scope_end(id, token, "scope.xml") == 1);
    SCENARIO_CHECK(read_file("scope.xml") ==
                   declaration + "    <Allocations Count=\"1\" />\r\n" +
                       "    <Context Name=\"Scoped\" Id=\"0x604\" Fragments=\"1\" "
                       "SizeAccumulation=\"24\" MemUsage=\"32\" MemUsagePeek=\"48\">\r\n" +
                       fragment(token, kept, 24) + "    </Context>\r\n</MemTrackReport>\r\n");
    SCENARIO_CHECK(logged.size() == 2 &&
                   logged[0] == "Tarvex: Dumping mem leaks to file: scope.xml\n\n" &&
                   logged[1] == "Tarvex: Dump finished\n");
    Tarvex::std_free(kept, id);
    SCENARIO_CHECK(Tarvex::scope_end(id, token, nullptr) == 0);
    Tarvex::std_free(before, id);
    Tarvex::std_free(elsewhere, other);
    logged.clear();
}

// With tracking off a budget is kept but never acts, and scopes find nothing.
void budgets_do_nothing_without_tracking() {
    const uint32_t id = 0x606;
    Tarvex::context_init(Tarvex::ContextBase("Untracked", id));
    Tarvex::set_context_budget(id, 10, 20);
    uint32_t soft = 0, hard = 0;
    Tarvex::get_context_budget(id, &soft, &hard);
    SCENARIO_CHECK(soft == 10 && hard == 20);
    const uint32_t token = Tarvex::scope_begin(id);
    void* a = Tarvex::std_alloc(100, id);
    void* b = Tarvex::fast_alloc(100, id);
    SCENARIO_CHECK(a != nullptr && b != nullptr);
    SCENARIO_CHECK(Tarvex::scope_end(id, token, "off.xml") == 0);
    SCENARIO_CHECK(!file_exists("off.xml"));
    Tarvex::std_free(a, id);
    Tarvex::fast_free(b, 100, id);
    SCENARIO_CHECK(logged.empty());
}

}  // namespace

int main(int argc, char** argv) {
    Tarvex::the_config.log_func = remember;
    if (argc > 1 && std::strcmp(argv[1], "off") == 0) {
        logged.clear();  // "Unable to open tarvex.ini" from a lazy start
        budgets_do_nothing_without_tracking();
    } else {
        soft_budget_warns_once_per_crossing();
        hard_budget_refuses_and_reports();
        configured_budgets_reach_new_contexts();
        scopes_count_their_context_since_the_token();
    }
    Tarvex::the_config.log_func = nullptr;
    return scenario_result();
}
