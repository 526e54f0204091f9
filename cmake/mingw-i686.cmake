# Cross-compiles for 32-bit Windows with Debian's mingw-w64, as the Tarvex
# product is built. Installed as share/tarvex/mingw-i686.cmake, for a game's
# own cross build:
#   cmake -B build -DCMAKE_TOOLCHAIN_FILE=<prefix>/share/tarvex/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# In an install, the prefix holding this file is a root of the target's
# files too, so that find_package(tarvex) finds the install it came with.
get_filename_component(_tarvex_prefix "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
if(EXISTS "${_tarvex_prefix}/lib/cmake/tarvex")
  list(APPEND CMAKE_FIND_ROOT_PATH "${_tarvex_prefix}")
endif()

# Wine's dbghelp.dll reads DWARF-4 but not DWARF-5, so symbols and lines only
# resolve with the older format.
set(CMAKE_C_FLAGS_INIT "-gdwarf-4")
set(CMAKE_CXX_FLAGS_INIT "-gdwarf-4")

# A static runtime: the DLLs and programs need no mingw runtime DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
