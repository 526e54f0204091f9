#include <cstring>

#include "base/static_names.h"
#include "contexts/builtin_contexts.h"
#include "contexts/mem_context.h"

namespace tarvex {

// The copies go to the library's own context object directly, never through
// the dispatch table, so they are never tracked.
const char* copy_name(const char* text) {
    if (text == nullptr || text[0] == '\0') return static_names[empty_name];
    if (is_static_name(text)) return text;
    const size_t length = std::strlen(text) + 1;
    if (length > UINT32_MAX) return static_names[empty_name];
    char* copy = static_cast<char*>(library_context().std_alloc(static_cast<uint32_t>(length)));
    if (copy == nullptr) return static_names[empty_name];
    std::memcpy(copy, text, length);
    return copy;
}

void release_name(const char* text) {
    if (text == nullptr || is_static_name(text)) return;
    library_context().std_free(const_cast<char*>(text));
}

}  // namespace tarvex
