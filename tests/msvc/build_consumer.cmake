# Builds the Visual C++-ABI consumer against the installed package, checking
# on the way what such a game depends on:
#   1. the install puts tarvex.lib, tarvex.def, tarvex_classic.lib and
#      tarvex_classic.def beside libtarvex.dll.a;
#   2. tarvex.dll exports every function of tarvex_c.h under its plain name
#      (objdump -p), with no "@N" decoration;
#   3. tarvex.lib offers each as a 32-bit Visual C++ object asks for it:
#      "_name" and "__imp__name" (llvm-nm);
#   4. consumer.c, compiled by clang for i686-pc-windows-msvc without a C
#      runtime, asks for every one of them (so every one links from an MSVC
#      object), and lld-link links it against the installed import libraries
#      and mingw's kernel32 and msvcrt import libraries;
#   5. the installed DLLs are copied beside the program;
#   6. the same program again, compiled with CodeView debug information and
#      linked with /debug, so that its symbols are in a PDB file beside it,
#      as a Visual C++ build has them.
set(prefix ${WORKDIR}/prefix)
set(bin ${WORKDIR}/bin)
file(REMOVE_RECURSE ${WORKDIR})
file(MAKE_DIRECTORY ${bin})

function(run out_var)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed: ${command}\n${out}\n${err}")
  endif()
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

# 1. The install.
run(_ ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file lib/libtarvex.dll.a lib/tarvex.lib lib/tarvex.def
             lib/libtarvex_classic.dll.a lib/tarvex_classic.lib lib/tarvex_classic.def
             bin/tarvex.dll bin/tarvex_classic.dll
             include/tarvex/tarvex_c.h include/tarvex/export.h include/tarvex/classic.h)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "the install lacks ${file}")
  endif()
endforeach()

# The functions of the header: every declaration reads
# "TARVEX_API <result> TARVEX_CDECL tarvex_<name>(".
file(READ ${prefix}/include/tarvex/tarvex_c.h header)
string(REGEX MATCHALL "TARVEX_CDECL (tarvex_[a-z0-9_]+)\\(" declarations "${header}")
set(functions "")
foreach(declaration IN LISTS declarations)
  string(REGEX REPLACE "TARVEX_CDECL (tarvex_[a-z0-9_]+)\\(" "\\1" name "${declaration}")
  list(APPEND functions ${name})
endforeach()
list(LENGTH functions count)
if(count LESS 50)
  message(FATAL_ERROR "only ${count} functions found in tarvex_c.h: ${functions}")
endif()
set(classic_functions TXInit TXGetStor TXFreeBlock)

# 2. The DLL's export table, undecorated.
run(exports ${OBJDUMP} -p ${prefix}/bin/tarvex.dll)
foreach(name IN LISTS functions)
  if(NOT exports MATCHES "\\] ${name}\n")
    message(FATAL_ERROR "tarvex.dll does not export ${name} undecorated:\n${exports}")
  endif()
endforeach()
if(exports MATCHES "\\] (tarvex_[^\n]*@[^\n]*)\n")
  message(FATAL_ERROR "tarvex.dll exports a decorated C name: ${CMAKE_MATCH_1}")
endif()

# 3. What the import libraries offer.
run(offered ${LLVM_NM} ${prefix}/lib/tarvex.lib)
run(classic_offered ${LLVM_NM} ${prefix}/lib/tarvex_classic.lib)
string(APPEND offered "${classic_offered}")
foreach(name IN LISTS functions classic_functions)
  if(NOT offered MATCHES " T _${name}\n" OR NOT offered MATCHES " T __imp__${name}\n")
    message(FATAL_ERROR "the import libraries do not offer _${name} and __imp__${name}")
  endif()
endforeach()

# 4. The consumer, for the Visual C++ ABI.
set(object ${WORKDIR}/consumer.obj)
run(_ ${CLANG} --target=i686-pc-windows-msvc -ffreestanding -gdwarf-4 -O0
  -fno-omit-frame-pointer -std=c99 -Wall -Wextra -pedantic -Werror -DCONSUMER_FREESTANDING
  -I${prefix}/include -c ${SOURCE} -o ${object})
run(asked ${LLVM_NM} --undefined-only ${object})
foreach(name IN LISTS functions classic_functions)
  if(NOT asked MATCHES " U __imp__${name}\n")
    message(FATAL_ERROR "consumer.obj does not ask for __imp__${name}:\n${asked}")
  endif()
endforeach()
run(_ ${LLD_LINK} /nologo /nodefaultlib /safeseh:no /debug:dwarf /subsystem:console
  /entry:consumer_entry /out:${bin}/msvc_consumer.exe ${object}
  ${prefix}/lib/tarvex.lib ${prefix}/lib/tarvex_classic.lib ${KERNEL32} ${MSVCRT})

# 5. The installed DLLs beside it.
file(COPY ${prefix}/bin/tarvex.dll ${prefix}/bin/tarvex_classic.dll DESTINATION ${bin})

# 6. With a PDB file.
set(codeview_object ${WORKDIR}/consumer_codeview.obj)
run(_ ${CLANG} --target=i686-pc-windows-msvc -ffreestanding -g -gcodeview -O0
  -fno-omit-frame-pointer -std=c99 -DCONSUMER_FREESTANDING -DCONSUMER_NAMES_UNREAD
  -I${prefix}/include -c ${SOURCE} -o ${codeview_object})
run(_ ${LLD_LINK} /nologo /nodefaultlib /safeseh:no /debug /pdb:${bin}/msvc_consumer_pdb.pdb
  /subsystem:console /entry:consumer_entry /out:${bin}/msvc_consumer_pdb.exe ${codeview_object}
  ${prefix}/lib/tarvex.lib ${prefix}/lib/tarvex_classic.lib ${KERNEL32} ${MSVCRT})
if(NOT EXISTS ${bin}/msvc_consumer_pdb.pdb)
  message(FATAL_ERROR "lld-link /debug wrote no msvc_consumer_pdb.pdb")
endif()
list(LENGTH functions count)
message("msvc_consumer.exe built; ${count} C functions exported, offered and linked")
