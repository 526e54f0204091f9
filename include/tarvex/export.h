// Export and import markers of the tarvex shared library.
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

// Plain exports carry C names so that any language and any compiler finds them.
#define TARVEX_C_API extern "C" TARVEX_API
