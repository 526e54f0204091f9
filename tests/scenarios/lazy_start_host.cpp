// An allocation before process attach starts the library lazily: three
// well-known contexts of the runtime heap, "String data" among them.
#include <cstdio>
#include <string>

#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

namespace {

void* early_block = nullptr;

#if !defined(_WIN32)
// Runs before the library's own load-time attach.
__attribute__((constructor(101))) void allocate_before_attach() {
    early_block = Tarvex::std_alloc(24, 0);
}
#endif

}  // namespace

int main() {
#if defined(_WIN32)
    // Linked statically, the library gets no attach notification at all.
    early_block = Tarvex::std_alloc(24, 0);
#endif
    SCENARIO_CHECK(early_block != nullptr);
    SCENARIO_CHECK(Tarvex::the_config.log_func != nullptr);

    Tarvex::ContextBase infos[16];
    const uint32_t count = Tarvex::get_context_info(infos, 16);
    SCENARIO_CHECK(count == 6);
    bool seen[3] = {false, false, false};
    for (uint32_t i = 0; i < count; ++i) {
        const std::string name = infos[i].name;
        if (name == "String data") {
            seen[0] = infos[i].id == 0x08c76f20u;
            // The lazy start-up makes it a plain heap context, and a later
            // attach finds it and changes nothing.
            SCENARIO_CHECK(infos[i].type == Tarvex::StdMalloc);
        }
        if (name == "Default resource data") seen[1] = infos[i].id == 0x228fc766u;
        if (name == "Dynamic data (new/delete)") seen[2] = infos[i].id == 42;
    }
    SCENARIO_CHECK(seen[0] && seen[1] && seen[2]);
    SCENARIO_CHECK_STR(infos[count - 3].name, "Global Context");
    SCENARIO_CHECK_STR(infos[count - 1].name, "Init Data Context");

    void* dynamic = Tarvex::std_alloc(8, 42);
    SCENARIO_CHECK(dynamic != nullptr);
    Tarvex::std_free(dynamic, 42);
    Tarvex::std_free(early_block, 0);

#if !defined(_WIN32)
    // The attach adopted the lazy start's reference instead of taking one
    // of its own: one shutdown, as the detach makes, is the final one.
    Tarvex::shutdown();
    SCENARIO_CHECK(Tarvex::get_context_info(infos, 16) == 3);
#endif
    return scenario_result();
}
