# Import libraries for Microsoft's linker (Windows only). Beside the mingw
# import library lib<name>.dll.a, each shared library gets
#   <name>.def  the module definition, as its own link writes it
#               (--output-def): every export, data marked DATA;
#   <name>.lib  an import library in Microsoft's format, made from the
#               .def by llvm-dlltool (Debian's package llvm). It offers each
#               C name as a 32-bit Visual C++ object asks for it, with the
#               leading underscore ("_tarvex_init", "__imp__tarvex_init"),
#               and imports it from the DLL by its plain name.
# Without llvm-dlltool the configure stops: a Windows build without the
# import library for Visual C++ games is not the product.
find_program(TARVEX_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 llvm-dlltool-15 REQUIRED
  DOC "llvm-dlltool, which writes the Visual C++ import libraries (Debian: llvm)")

# tarvex_msvc_import_library(target files_var)
# Sets files_var to the .def and the .lib, for install().
function(tarvex_msvc_import_library target files_var)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(machine i386)
  else()
    set(machine i386:x86-64)
  endif()
  set(dir ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY})
  set(def ${dir}/${target}.def)
  set(lib ${dir}/${target}.lib)
  target_link_options(${target} PRIVATE "LINKER:--output-def,${def}")
  set_property(TARGET ${target} APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${def})
  add_custom_command(OUTPUT ${lib}
    COMMAND ${TARVEX_LLVM_DLLTOOL} -m ${machine} -d ${def} -D $<TARGET_FILE_NAME:${target}>
      -l ${lib}
    DEPENDS ${target}
    COMMENT "Writing ${target}.lib, the import library for Microsoft's linker"
    VERBATIM)
  add_custom_target(${target}_msvc_import ALL DEPENDS ${lib})
  set(${files_var} ${def} ${lib} PARENT_SCOPE)
endfunction()
