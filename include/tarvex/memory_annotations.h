// What the pools tell a memory checker about the memory they carve: which
// pieces are handed out, which are not, and which words only the pool itself
// may touch. This header belongs to pools.h, whose inline code uses it, and
// ships only for that: it is no interface, and code of its own should not
// include it.
//
// Under AddressSanitizer (found from the compiler's own macros) the pools
// poison what they have not handed out. When the library was built with
// TARVEX_VALGRIND (tarvex/config.h says so; off by default: the client
// requests cost a few instructions even outside valgrind) they announce
// their pieces to memcheck as blocks of a valgrind memory pool. In every
// other build each helper is an empty inline function or a plain copy, and
// compiles to nothing more.
//
// What AddressSanitizer can see here: it tracks memory in 8-byte granules,
// and in each granule the usable bytes must come first. So a poisoned range
// that ends inside a granule whose next bytes stay usable leaves that granule
// usable, and unpoisoning the tail of a granule makes its head usable too.
// Fragments whose size is a multiple of 8, in 8-aligned blocks, are seen
// exactly; smaller or odd-sized fragments sharing a granule are not always.
// Grow-only pools hand out upward from a poisoned rest, so the byte after the
// newest piece is always caught, but not a write into the piece after it.
#pragma once

#include <stddef.h>
#include <string.h>

#include "tarvex/config.h"

#if TARVEX_CONFIG_VALGRIND
#define TARVEX_VALGRIND 1
#endif

#if defined(__SANITIZE_ADDRESS__)
#define TARVEX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVEX_ASAN 1
#endif
#endif

#if defined(TARVEX_ASAN)
#include <sanitizer/asan_interface.h>
#if defined(_MSC_VER) && !defined(__clang__)
#define TARVEX_UNCHECKED __declspec(no_sanitize_address)
#else
#include <sanitizer/lsan_interface.h>
#define TARVEX_LSAN 1
#define TARVEX_UNCHECKED __attribute__((no_sanitize_address))
#endif
#elif defined(TARVEX_VALGRIND)
#include <valgrind/memcheck.h>
#endif

namespace tarvex_memory {

// A pool begins and ends; valgrind keeps the record of its pieces between.
inline void pool_opened(const void* pool) {
#if !defined(TARVEX_ASAN) && defined(TARVEX_VALGRIND)
    VALGRIND_CREATE_MEMPOOL(pool, 0, 0);
#else
    (void)pool;
#endif
}
inline void pool_closed(const void* pool) {
#if !defined(TARVEX_ASAN) && defined(TARVEX_VALGRIND)
    VALGRIND_DESTROY_MEMPOOL(pool);
#else
    (void)pool;
#endif
}
// Every piece is forgotten at once, as a clear does; the pool lives on.
inline void pieces_forgotten(const void* pool) {
    pool_closed(pool);
    pool_opened(pool);
}

// A block the pool obtained. The leak checker that comes with
// AddressSanitizer ignores pointers kept in poisoned memory, and the links
// from one block to the next lie in the poisoned records: the block is taken
// off its list of suspects, or every block but the newest would be reported
// as leaked while the pool still holds them. The blocks of a pool that is
// itself leaked go unreported in exchange; the pool's owner is still seen.
inline void obtained(const void* block) {
#if defined(TARVEX_LSAN)
    __lsan_ignore_object(block);
#else
    (void)block;
#endif
}

// Memory the pool holds but has not handed out: no one may touch it.
inline void hide(void* at, size_t size) {
#if defined(TARVEX_ASAN)
    ASAN_POISON_MEMORY_REGION(at, size);
#elif defined(TARVEX_VALGRIND)
    VALGRIND_MAKE_MEM_NOACCESS(at, size);
#else
    (void)at;
    (void)size;
#endif
}

// A piece goes to the caller: usable, its contents undefined.
inline void handed_out(const void* pool, void* piece, size_t size) {
    if (size == 0) return;
#if defined(TARVEX_ASAN)
    (void)pool;
    ASAN_UNPOISON_MEMORY_REGION(piece, size);
#elif defined(TARVEX_VALGRIND)
    VALGRIND_MEMPOOL_ALLOC(pool, piece, size);
#else
    (void)pool;
    (void)piece;
#endif
}

// A piece comes back: no one but the pool may touch it again.
inline void given_back(const void* pool, void* piece, size_t size) {
#if defined(TARVEX_ASAN)
    (void)pool;
    ASAN_POISON_MEMORY_REGION(piece, size);
#elif defined(TARVEX_VALGRIND)
    (void)size;
    VALGRIND_MEMPOOL_FREE(pool, piece);
#else
    (void)pool;
    (void)piece;
    (void)size;
#endif
}

// A whole block goes back to the context it came from, which may hand it to
// its next user as it is: nothing of it stays hidden.
inline void released(void* at, size_t size) {
#if defined(TARVEX_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(at, size);
#elif defined(TARVEX_VALGRIND)
    VALGRIND_MAKE_MEM_UNDEFINED(at, size);
#else
    (void)at;
    (void)size;
#endif
}

// The pool's own words inside hidden memory (a free fragment's link, a
// block's record), at any alignment. Under AddressSanitizer they are copied
// byte by byte by code it does not check, through volatile so that no
// compiler turns the loop back into a checked memcpy; unpoisoning the word
// instead would unpoison the head of its granule with it.
#if defined(TARVEX_ASAN)
TARVEX_UNCHECKED inline void copy_unchecked(void* to, const void* from, size_t size) {
    volatile unsigned char* out = static_cast<volatile unsigned char*>(to);
    const volatile unsigned char* in = static_cast<const volatile unsigned char*>(from);
    for (size_t i = 0; i < size; ++i) out[i] = in[i];
}
#endif

template <typename T>
inline T hidden_read(const void* at) {
    T value;
#if defined(TARVEX_ASAN)
    copy_unchecked(&value, at, sizeof(value));
#elif defined(TARVEX_VALGRIND)
    VALGRIND_MAKE_MEM_DEFINED(at, sizeof(value));
    memcpy(&value, at, sizeof(value));
    VALGRIND_MAKE_MEM_NOACCESS(at, sizeof(value));
#else
    memcpy(&value, at, sizeof(value));
#endif
    return value;
}

template <typename T>
inline void hidden_write(void* at, const T& value) {
#if defined(TARVEX_ASAN)
    copy_unchecked(at, &value, sizeof(value));
#elif defined(TARVEX_VALGRIND)
    VALGRIND_MAKE_MEM_UNDEFINED(at, sizeof(value));
    memcpy(at, &value, sizeof(value));
    VALGRIND_MAKE_MEM_NOACCESS(at, sizeof(value));
#else
    memcpy(at, &value, sizeof(value));
#endif
}

// Bytes the library keeps at the head of a piece it handed out (a size
// header): sealed, read while sealed, and unsealed before the piece goes
// back. Valgrind only: AddressSanitizer cannot poison the first bytes of a
// granule while the bytes after them stay usable, which is where such a
// header lies. There the header stays readable, and a checked read of it
// faults once the piece has been given back, which catches a second release.
inline void seal(void* at, size_t size) {
#if !defined(TARVEX_ASAN) && defined(TARVEX_VALGRIND)
    VALGRIND_MAKE_MEM_NOACCESS(at, size);
#else
    (void)at;
    (void)size;
#endif
}
inline void unseal(void* at, size_t size) {
#if !defined(TARVEX_ASAN) && defined(TARVEX_VALGRIND)
    VALGRIND_MAKE_MEM_DEFINED(at, size);
#else
    (void)at;
    (void)size;
#endif
}

// Pieces that stay handed out when a pool forgets the others (an arena
// rewound to a mark): valgrind no longer knows them as pieces, so they are
// declared usable as they are, as an unsealed header is. Nothing to do for
// AddressSanitizer, which never stopped seeing them as usable.
inline void still_in_use(void* at, size_t size) {
    unseal(at, size);
}
template <typename T>
inline T sealed_read(const void* at) {
#if !defined(TARVEX_ASAN) && defined(TARVEX_VALGRIND)
    return hidden_read<T>(at);
#else
    T value;
    memcpy(&value, at, sizeof(value));
    return value;
#endif
}

}  // namespace tarvex_memory
