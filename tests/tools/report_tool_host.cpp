// Leaves the leak reports that tests/tools/test_report_tool.py reads with
// tools/tarvex-report, in "BackTraceMode: 2": two blocks from one function and
// line, blocks from other functions, blocks without a stack (trace depth 0), a
// string pool's block whose stack starts in the library, names and infos with
// XML special characters, a counter, and two checkpoint dumps around a second
// leak. It writes what it knows of its own leaks to expected.json.
#include <cstdio>
#include <string>

#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

namespace host {

constexpr uint32_t sites_context = 0x31;  // TraceDepth 8
constexpr uint32_t plain_context = 0x32;  // no TraceDepth: no frames
constexpr uint32_t level_context = 0x33;  // TraceDepth 8
constexpr uint32_t names_context = 0x34;  // TraceDepth 8
const char* const sites_name = "Tool <sites> & \"co\"";

uint32_t loop_first_id, other_id, plain_first_id, names_id, level_first_id, extra_id;

__attribute__((noinline)) void leak_in_loop(int count) {
    loop_first_id = Tarvex::get_checkpoint();
    for (int i = 0; i < count; ++i) {
        void* block = Tarvex::std_alloc(40, sites_context);  // every block: this one line
        __asm__ volatile("" ::"r"(block) : "memory");
    }
}

__attribute__((noinline)) void leak_other() {
    other_id = Tarvex::get_checkpoint();
    void* block = Tarvex::std_alloc(100, sites_context);
    Tarvex::mem_track_set_info(sites_context, block, "size \"100\" <b&c>");
    __asm__ volatile("" ::: "memory");
}

__attribute__((noinline)) void leak_without_stack() {
    plain_first_id = Tarvex::get_checkpoint();
    for (int i = 0; i < 3; ++i) {
        void* block = Tarvex::std_alloc(24, plain_context);
        __asm__ volatile("" ::"r"(block) : "memory");
    }
}

// The pool's block is allocated inside the library (the string pool and its
// block container): the site starts here all the same.
__attribute__((noinline)) void intern_names() {
    names_id = Tarvex::get_checkpoint();
    auto* pool = new StaticStringPool(0, 4096, names_context);
    pool->str_add("never released");
    __asm__ volatile("" ::: "memory");
}

__attribute__((noinline)) void* leak_level_data() {
    void* block = Tarvex::std_alloc(64, level_context);
    __asm__ volatile("" ::: "memory");
    return block;
}

__attribute__((noinline)) void* allocate_temporary() {
    void* block = Tarvex::std_alloc(48, level_context);
    __asm__ volatile("" ::: "memory");
    return block;
}

__attribute__((noinline)) void leak_level_extra() {
    extra_id = Tarvex::get_checkpoint();
    void* block = Tarvex::std_alloc(32, level_context);
    __asm__ volatile("" ::"r"(block) : "memory");
}

// What the host itself leaked in a context (bytes < 0: not known to the host,
// only to the library), beside the context's statistics.
std::string context_json(uint32_t id, uint32_t blocks, long bytes) {
    Tarvex::ContextBase infos[32];
    const uint32_t count = Tarvex::get_context_info(infos, 32);
    for (uint32_t i = 0; i < count; ++i) {
        if (infos[i].id != id) continue;
        char known[32] = "null";
        if (bytes >= 0) std::snprintf(known, sizeof(known), "%ld", bytes);
        char line[256];
        std::snprintf(line, sizeof(line),
                      "{\"id\": \"0x%x\", \"blocks\": %u, \"bytes\": %s, \"fragments\": %u, "
                      "\"usage\": %u, \"peak\": %u}",
                      id, blocks, known, infos[i].fragments, infos[i].usage, infos[i].usage_peak);
        return line;
    }
    return "null";
}

}  // namespace host

using namespace host;

int main() {
    Tarvex::context_init(Tarvex::ContextBase(sites_name, sites_context));
    Tarvex::context_init(Tarvex::ContextBase("Tool no stacks", plain_context));
    Tarvex::context_init(Tarvex::ContextBase("Tool level", level_context));
    Tarvex::context_init(Tarvex::ContextBase("Tool names", names_context));

    leak_in_loop(2);
    leak_other();
    leak_without_stack();
    intern_names();
    Tarvex::inc_counter("tool frames", 7);
    Tarvex::inc_counter("tool frames", -2);

    // A level load between a checkpoint and two dumps: before.xml after the
    // first leak, after.xml after a second leak from the same function, a new
    // one, and the temporary block released.
    const uint32_t checkpoint = Tarvex::get_checkpoint();
    level_first_id = checkpoint;
    void* temporary = nullptr;
    for (int round = 0; round < 2; ++round) {
        leak_level_data();  // one call site for both rounds: one site that grows
        if (round == 0) {
            temporary = allocate_temporary();
            Tarvex::dump_state("before.xml", checkpoint);
        }
    }
    leak_level_extra();
    Tarvex::std_free(temporary, level_context);
    Tarvex::dump_state("after.xml", checkpoint);

    // Everything still live is in the exit-time report.
    std::FILE* out = std::fopen("expected.json", "wb");
    if (out == nullptr) return 1;
    std::fprintf(
        out,
        "{\n  \"report\": \"MemLeaks_report_tool_host.xml\",\n"
        "  \"sites_context_name\": \"Tool <sites> & \\\"co\\\"\",\n"
        "  \"alloc_ids\": {\"loop\": %u, \"other\": %u, \"plain\": %u, \"names\": %u, "
        "\"level\": %u, \"extra\": %u, \"checkpoint\": %u},\n"
        "  \"contexts\": [\n    %s,\n    %s,\n    %s,\n    %s\n  ]\n}\n",
        loop_first_id, other_id, plain_first_id, names_id, level_first_id, extra_id, checkpoint,
        context_json(sites_context, 3, 180).c_str(), context_json(plain_context, 3, 72).c_str(),
        context_json(level_context, 3, 160).c_str(), context_json(names_context, 1, -1).c_str());
    std::fclose(out);
    return 0;
}
