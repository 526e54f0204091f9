/*
 * tarvex_classic: the legacy block allocator.
 *
 * A handle hands out pieces of memory from blocks of the runtime heap; the
 * pieces live until the whole handle is released with TXFreeBlock. Pieces are
 * never given back one by one. With the debug flag set, the handle writes a
 * text log of its blocks to "TX<time>.dbg" in the directory named by the
 * environment variable "tmp" (or the current directory when it is unset).
 *
 * This library is independent of tarvex: it shares no code, data or calls
 * with it, and a host may use either one on its own.
 */
#ifndef TARVEX_CLASSIC_H
#define TARVEX_CLASSIC_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(TARVEX_CLASSIC_BUILDING)
#define TARVEX_CLASSIC_API __declspec(dllexport)
#else
#define TARVEX_CLASSIC_API __declspec(dllimport)
#endif
#else
#define TARVEX_CLASSIC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Creates a handle whose pieces may be up to block_size bytes (rounded up to a
 * multiple of 8). A non-zero debug switches the log file on. Returns null when
 * the heap is exhausted or block_size is negative or too large to round.
 */
TARVEX_CLASSIC_API void* TXInit(int32_t block_size, int32_t debug);

/*
 * Returns a piece of at least size bytes, 4-byte aligned, valid until the
 * handle is released. Returns null for a null handle, a negative size, a size
 * above the handle's block size (which also ends the handle's log) or when
 * the heap is exhausted.
 */
TARVEX_CLASSIC_API void* TXGetStor(void* handle, int32_t size);

/* Releases the handle and every piece it handed out. Always returns 0. */
TARVEX_CLASSIC_API int32_t TXFreeBlock(void* handle);

#ifdef __cplusplus
}
#endif

#endif
