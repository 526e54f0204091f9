# GoogleTest from the distribution's sources, built with this build's own
# flags so the 32-bit and Windows builds have it too.
set(TARVEX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${TARVEX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

find_package(Threads REQUIRED)

# tarvex_add_test(NAME name SOURCES ... [LIBS ...])
# One program, one CTest entry: every program start costs a fraction of a
# second under Wine, so related tests share a program.
function(tarvex_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main Threads::Threads)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
endfunction()

# tarvex_add_host(name SOURCES ... LIBS ...)
# A host program for whole-process scenarios, with the tests' own headers on
# its include path and threads linked.
function(tarvex_add_host name)
  cmake_parse_arguments(H "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${H_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${H_LIBS} Threads::Threads)
endfunction()

# tarvex_add_scenario(NAME name HOST target [INI file] [ARGS ...])
# A whole-process run: the host starts in a fresh directory of its own, with
# the given tarvex.ini beside it, so the library's start-up and shutdown run
# exactly as in a game. The host checks what it can itself; files it can only
# see after it has exited are compared by the runner (see run_scenario.cmake).
function(tarvex_add_scenario)
  cmake_parse_arguments(S "" "NAME;HOST;INI" "ARGS;ENV" ${ARGN})
  set(_dir ${CMAKE_BINARY_DIR}/scenarios/${S_NAME})
  set(_ini "")
  if(S_INI)
    get_filename_component(_ini ${S_INI} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  add_test(NAME ${S_NAME}
    COMMAND ${CMAKE_COMMAND}
      -DHOST=$<TARGET_FILE:${S_HOST}>
      -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
      -DWORKDIR=${_dir}
      -DINI=${_ini}
      "-DARGS=${S_ARGS}"
      "-DENVIRONMENT=${S_ENV}"
      -P ${PROJECT_SOURCE_DIR}/tests/scenarios/run_scenario.cmake)
endfunction()
