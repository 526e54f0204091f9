// The debug-help binding as process attach leaves it, and the mini dump,
// through the shared library. Arguments: whether attach left dbghelp.dll
// loaded (0 or 1; Windows only) and whether a mini dump is written (0 or 1).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

bool dbghelp_loaded() {
#if defined(_WIN32)
    return GetModuleHandleA("dbghelp.dll") != nullptr;
#else
    return false;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: debughelp_attach_host LOADED DUMP\n");
        return 2;
    }
    const bool expected_loaded = std::atoi(argv[1]) != 0;
    const bool expected_dump = std::atoi(argv[2]) != 0;

    // From BackTraceMode 2 the binding is started inside process attach.
    SCENARIO_CHECK(dbghelp_loaded() == expected_loaded);

    std::remove("attach.dmp");
    SCENARIO_CHECK(Tarvex::mini_dump(nullptr, "attach.dmp") == expected_dump);
    std::ifstream dump("attach.dmp", std::ios::binary);
    SCENARIO_CHECK(dump.good() == expected_dump);
    if (expected_dump) {
        char signature[4] = {};
        dump.read(signature, 4);
        SCENARIO_CHECK(std::string(signature, 4) == "MDMP");
    }
    // The dump starts and stops the binding around itself: a running binding
    // stays, and one that was not running is not left behind.
    SCENARIO_CHECK(dbghelp_loaded() == expected_loaded);
    return scenario_result();
}
