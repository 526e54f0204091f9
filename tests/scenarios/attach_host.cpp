// After process attach the registry holds "String data" (a small-block list
// context) ahead of the three built-ins, and the default sink is installed.
#include <string>

#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

int main() {
    Tarvex::ContextBase infos[8];
    const uint32_t count = Tarvex::get_context_info(infos, 8);
    SCENARIO_CHECK(count == 4);
    const char* expected[] = {"String data", "Global Context", "Tarvex", "Init Data Context"};
    const uint32_t ids[] = {0x08c76f20u, 0, 0xd8fa0e7au, 0x8f2dbb89u};
    for (uint32_t i = 0; i < 4 && i < count; ++i) {
        SCENARIO_CHECK_STR(infos[i].name, expected[i]);
        SCENARIO_CHECK(infos[i].id == ids[i]);
        SCENARIO_CHECK(infos[i].flags == 1);
    }
    SCENARIO_CHECK(infos[0].type == Tarvex::SmallBlkList);
    SCENARIO_CHECK(infos[1].type == Tarvex::StdMalloc);
    SCENARIO_CHECK(Tarvex::the_config.log_func != nullptr);
    SCENARIO_CHECK(Tarvex::the_config.break_func == nullptr);

    // Looking "Init Data Context" up moves it to the front of the next listing.
    Tarvex::std_free(Tarvex::std_alloc(1, 0x8f2dbb89u), 0x8f2dbb89u);
    Tarvex::get_context_info(infos, 8);
    SCENARIO_CHECK_STR(infos[0].name, "Init Data Context");
    SCENARIO_CHECK_STR(infos[1].name, "String data");
    return scenario_result();
}
