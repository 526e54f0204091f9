# Installs both libraries, the public headers and a CMake package, so that a
# game's find_package(tarvex) and tarvex::tarvex (or tarvex::tarvex_classic)
# work; on Linux also a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tarvex tarvex_classic EXPORT tarvexTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tarvex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${TARVEX_GENERATED_INCLUDE}/tarvex/config.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvex)
# The report tool: the program in bin/, the package it imports in share/tarvex/.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/tarvex-report DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT report_tool)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/tarvex_report DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvex
  COMPONENT report_tool PATTERN __pycache__ EXCLUDE)

# The example configuration, to copy beside a game and edit. The Windows
# install also carries the toolchain it was built with, for a game's own
# cross build, which then finds this install by itself.
install(FILES ${PROJECT_SOURCE_DIR}/examples/tarvex.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvex)
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvex)
endif()

# Windows: tarvex.def and tarvex.lib (likewise tarvex_classic) beside
# libtarvex.dll.a, for games linked by Microsoft's linker (README.md, "A game
# built with Visual C++").
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/TarvexMsvcImport.cmake)
  foreach(_library tarvex tarvex_classic)
    tarvex_msvc_import_library(${_library} _msvc_files)
    install(FILES ${_msvc_files} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endforeach()
endif()

set(TARVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvex)
install(EXPORT tarvexTargets NAMESPACE tarvex:: DESTINATION ${TARVEX_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tarvex-config.cmake.in
  ${CMAKE_BINARY_DIR}/tarvex-config.cmake INSTALL_DESTINATION ${TARVEX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tarvex-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tarvex-config.cmake ${CMAKE_BINARY_DIR}/tarvex-config-version.cmake
  DESTINATION ${TARVEX_CMAKE_DIR})

if(NOT WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tarvex.pc.in ${CMAKE_BINARY_DIR}/tarvex.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/tarvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
