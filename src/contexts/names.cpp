#include <cstring>

#include "base/static_names.h"
#include "contexts/library_storage.h"
#include "contexts/mem_context.h"

namespace tarvex {

const char* copy_name(const char* text) {
    if (text == nullptr || text[0] == '\0') return static_names[empty_name];
    if (is_static_name(text)) return text;
    const size_t length = std::strlen(text) + 1;
    char* copy = static_cast<char*>(library_alloc(length));
    if (copy == nullptr) return static_names[empty_name];
    std::memcpy(copy, text, length);
    return copy;
}

void release_name(const char* text) {
    if (text == nullptr || is_static_name(text)) return;
    library_free(const_cast<char*>(text));
}

}  // namespace tarvex
