# Installs the built project into a fresh prefix, then configures, builds and
# runs a consumer project that finds it with find_package(tarvex).
set(prefix ${WORKDIR}/prefix)
set(consumer ${WORKDIR}/consumer)
file(REMOVE_RECURSE ${WORKDIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${consumer} -G Ninja
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
if(TOOLCHAIN)
  # A cross toolchain searches packages only below its own root: name the
  # installed package's folder outright.
  list(APPEND configure -Dtarvex_DIR=${prefix}/lib/cmake/tarvex)
endif()
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
if(ARCH_FLAGS)
  list(APPEND configure "-DCMAKE_CXX_FLAGS=${ARCH_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${ARCH_FLAGS}")
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${consumer})

if(EMULATOR)
  # The DLLs are installed beside nothing the consumer can see: copy them in.
  file(GLOB dlls ${prefix}/bin/*.dll)
  file(COPY ${dlls} DESTINATION ${consumer})
  run(${EMULATOR} ${consumer}/consumer.exe)
else()
  run(${consumer}/consumer)
endif()
