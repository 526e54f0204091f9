# Installs the built project into a fresh prefix, checks what the install
# holds beside the libraries, then configures, builds and runs a consumer
# project that finds it with find_package(tarvex). For Windows the consumer
# is cross-built with the toolchain file of the install alone, and its C++
# layer program must ask tarvex.dll for C names only (objdump -p).
set(prefix ${WORKDIR}/prefix)
set(consumer ${WORKDIR}/consumer)
file(REMOVE_RECURSE ${WORKDIR})

function(run out_var)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

run(_ ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
set(installed include/tarvex/tarvex.hpp share/tarvex/tarvex.ini)
if(WINDOWS)
  list(APPEND installed share/tarvex/mingw-i686.cmake)
endif()
foreach(file IN LISTS installed)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "the install lacks ${file}")
  endif()
endforeach()

set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${consumer} -G Ninja -DCMAKE_BUILD_TYPE=Release)
if(WINDOWS)
  # As a game's cross build: the install's toolchain file and nothing else.
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${prefix}/share/tarvex/mingw-i686.cmake)
else()
  list(APPEND configure -DCMAKE_PREFIX_PATH=${prefix})
endif()
# A team that sets its own CMAKE_CXX_FLAGS (and so loses the toolchain
# file's): the package's usage requirements still bring frame pointers and
# debug information the tools read.
list(APPEND configure "-DCMAKE_CXX_FLAGS=-O2 ${ARCH_FLAGS}" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
if(ARCH_FLAGS)
  list(APPEND configure "-DCMAKE_EXE_LINKER_FLAGS=${ARCH_FLAGS}")
endif()
run(_ ${configure})
run(_ ${CMAKE_COMMAND} --build ${consumer})

set(debug_information "-g[ \"]")
if(WINDOWS)
  set(debug_information "-gdwarf-4")
endif()
file(READ ${consumer}/compile_commands.json commands)
if(NOT commands MATCHES "-fno-omit-frame-pointer" OR NOT commands MATCHES "${debug_information}")
  message(FATAL_ERROR "the consumer builds without frame pointers or debug information:\n${commands}")
endif()
# The one switch that keeps a game's own flags alone.
run(_ ${configure} -B ${WORKDIR}/consumer-own-flags -DTARVEX_STACK_FLAGS=OFF)
file(READ ${WORKDIR}/consumer-own-flags/compile_commands.json commands)
if(commands MATCHES "-fno-omit-frame-pointer")
  message(FATAL_ERROR "TARVEX_STACK_FLAGS=OFF still adds frame pointers:\n${commands}")
endif()

if(WINDOWS)
  # The imports of the C++ layer's program from tarvex.dll: its block of
  # objdump's listing runs from "DLL Name: tarvex.dll" to the next blank line.
  run(listing ${OBJDUMP} -p ${consumer}/cpp_consumer.exe)
  if(NOT listing MATCHES "DLL Name: tarvex\\.dll\n[^\n]*\n(([^\n]+\n)*)")
    message(FATAL_ERROR "cpp_consumer.exe imports nothing from tarvex.dll:\n${listing}")
  endif()
  string(REGEX MATCHALL "[^ \t\n]+\n" names "${CMAKE_MATCH_1}")
  list(LENGTH names count)
  foreach(name IN LISTS names)
    if(NOT name MATCHES "^tarvex_[a-z0-9_]+\n$")
      message(FATAL_ERROR "cpp_consumer.exe imports ${name} from tarvex.dll, not a C name")
    endif()
  endforeach()
  if(count LESS 10)
    message(FATAL_ERROR "cpp_consumer.exe imports only ${count} names from tarvex.dll:\n${listing}")
  endif()
  message("cpp_consumer.exe imports ${count} C names from tarvex.dll and nothing else")

  # The DLLs are installed beside nothing the consumer can see: copy them in.
  file(GLOB dlls ${prefix}/bin/*.dll)
  file(COPY ${dlls} DESTINATION ${consumer})
  run(_ ${EMULATOR} ${consumer}/consumer.exe)
  run(_ ${EMULATOR} ${consumer}/cpp_consumer.exe)
else()
  run(_ ${consumer}/consumer)
  run(_ ${consumer}/cpp_consumer)
endif()
