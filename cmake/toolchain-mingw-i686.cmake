# The windows-i686 preset: the toolchain a game's cross build gets too
# (mingw-i686.cmake), and what it builds runs under Wine.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run")
