#include "base/static_names.h"

namespace tarvex {

const char* const static_names[5] = {"", "N/A", "Global Context", "Tarvex", "Init Data Context"};

bool is_static_name(const char* text) {
    for (const char* name : static_names) {
        if (text == name) return true;
    }
    return false;
}

}  // namespace tarvex
