// The final shutdown destroys the contexts made at run time and silences the
// unknown-id error; an unmatched shutdown and stray calls afterwards are safe.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

namespace {
std::vector<std::string> logged;
void remember(const char* text, bool) {
    logged.push_back(text);
}
}  // namespace

int main() {
    Tarvex::the_config.log_func = remember;
    Tarvex::context_init(Tarvex::ContextBase("Level", 0x100));
    void* block = Tarvex::std_alloc(40, 0x100);  // the cache now holds "Level"
    SCENARIO_CHECK(block != nullptr);
    Tarvex::std_free(block, 0x100);

    Tarvex::init();
    Tarvex::shutdown();  // back to the attach reference only
    Tarvex::ContextBase infos[8];
    SCENARIO_CHECK(Tarvex::get_context_info(infos, 8) == 5);

    Tarvex::shutdown();  // the final one
    const uint32_t left = Tarvex::get_context_info(infos, 8);
    SCENARIO_CHECK(left == 3);
    for (uint32_t i = 0; i < left; ++i) {
        SCENARIO_CHECK(infos[i].name == nullptr);
        SCENARIO_CHECK(infos[i].id == 0);
    }

    // After the final shutdown an unknown id is served silently by the null
    // context, and id 0 still reaches the runtime heap.
    logged.clear();
    SCENARIO_CHECK(Tarvex::std_alloc(8, 0x100) == nullptr);
    void* late = Tarvex::std_alloc(8, 0);
    SCENARIO_CHECK(late != nullptr);
    Tarvex::std_free(late, 0);
    SCENARIO_CHECK(logged.empty());

    // Two threads start the library again at once: the one that does not
    // build waits for the build, and finds the built-ins named.
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> go{false};
        bool named[2] = {false, false};
        auto start = [&](int i) {
            while (!go.load()) {
            }
            Tarvex::init();
            Tarvex::ContextBase seen[8];
            named[i] = Tarvex::get_context_info(seen, 8) == 3 && seen[2].name != nullptr &&
                       std::string(seen[2].name) == "Init Data Context";
        };
        std::thread first(start, 0), second(start, 1);
        go.store(true);
        first.join();
        second.join();
        SCENARIO_CHECK(named[0] && named[1]);
        Tarvex::shutdown();
        Tarvex::shutdown();
    }

    // A shutdown without a matching init leaves the count non-zero: a later
    // init does nothing, and the detach shutdown will do nothing either.
    Tarvex::shutdown();
    Tarvex::init();
    SCENARIO_CHECK(Tarvex::get_context_info(infos, 8) == 3);
    SCENARIO_CHECK(infos[0].name == nullptr);
    return scenario_result();
}
