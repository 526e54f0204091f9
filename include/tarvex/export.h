// Export and import markers of the tarvex shared library. Valid C and C++:
// tarvex_c.h includes it too.
#pragma once

#if defined(_WIN32)
#if defined(TARVEX_BUILDING)
#define TARVEX_API __declspec(dllexport)
#else
#define TARVEX_API __declspec(dllimport)
#endif
#else
#define TARVEX_API __attribute__((visibility("default")))
#endif

// The calling convention of the C interface (tarvex_c.h), spelt out so that
// a host built with another compiler, or with another default convention
// (/Gz, /Gr), calls it as it was built: __cdecl on 32-bit Windows, where the
// caller pops the arguments and the C name gets no "@N" suffix.
#if defined(_WIN32) && !defined(_WIN64)
#define TARVEX_CDECL __cdecl
#else
#define TARVEX_CDECL
#endif

// Plain exports carry C names so that any language and any compiler finds them.
#define TARVEX_C_API extern "C" TARVEX_API
