// Stands in for third-party code: it cannot name a context, so it uses the
// plain tarvex_malloc family, which serves "Global Context".
#include <cstring>

#include "game.h"
#include "tarvex/tarvex.h"

namespace game {

namespace {
char* remembered_path = nullptr;
}

__attribute__((noinline)) void parse_settings(const char* text) {
    auto* copy = static_cast<char*>(tarvex_malloc(static_cast<uint32_t>(std::strlen(text) + 1)));
    std::strcpy(copy, text);
    auto* tokens = static_cast<char**>(tarvex_calloc(8, sizeof(char*)));
    tokens = static_cast<char**>(tarvex_realloc(tokens, 32 * sizeof(char*)));
    tarvex_free(tokens);
    // The library keeps this for good and never frees it: a leak the report
    // shows under "Global Context".
    remembered_path = copy;
}

}  // namespace game
