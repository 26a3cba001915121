# Windows build with MinGW-w64: 32-bit (cmake/mingw-i686.cmake), the real
# program, or 64-bit (cmake/mingw-x86_64.cmake), the same sources as a test
# vehicle for hosts that run no 32-bit programs.
#
# The adapter library is FTCSPI.dll, bound by ordinal: the virtual adapter is
# built under that name with the library's ordinals, and the program links an
# import library that names no function, only ordinals. Everything links
# statically against the compiler's runtime, so the program needs only system
# DLLs and FTCSPI.dll.

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES ${ORVAN_MINGW_PREFIX}-dlltool dlltool REQUIRED)
endif()

# The module-definition files name the exports with their i686 stdcall
# suffixes (@N, the argument bytes). x86-64 has one calling convention and
# decorates nothing, so the 64-bit build reads them without the suffixes.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ORVAN_DLLTOOL_MACHINE i386)
  set(ORVAN_ADAPTER_EXPORT_DEF ${CMAKE_SOURCE_DIR}/virtual_adapter/ftcspi.def)
  set(ORVAN_ADAPTER_IMPORT_DEF ${CMAKE_SOURCE_DIR}/core/adapter/ftcspi_import.def)
else()
  set(ORVAN_DLLTOOL_MACHINE i386:x86-64)
  foreach(def virtual_adapter/ftcspi.def core/adapter/ftcspi_import.def)
    file(READ ${CMAKE_SOURCE_DIR}/${def} text)
    string(REGEX REPLACE "(lib[A-Za-z0-9]+)@[0-9]+" "\\1" text "${text}")
    get_filename_component(name ${def} NAME_WE)
    # Rewritten only when it changes, so a new configure relinks nothing.
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/${name}_x86_64.def CONTENT "${text}" @ONLY)
  endforeach()
  set(ORVAN_ADAPTER_EXPORT_DEF ${CMAKE_BINARY_DIR}/ftcspi_x86_64.def)
  set(ORVAN_ADAPTER_IMPORT_DEF ${CMAKE_BINARY_DIR}/ftcspi_import_x86_64.def)
endif()

# The virtual adapter as FTCSPI.dll. --kill-at drops the stdcall suffixes from
# the exported names; the ordinals come from the module-definition file.
target_sources(ftcspi PRIVATE ${ORVAN_ADAPTER_EXPORT_DEF})
set_target_properties(ftcspi PROPERTIES OUTPUT_NAME FTCSPI PREFIX "")
target_link_options(ftcspi PRIVATE -static -Wl,--kill-at)

# Import library for FTCSPI.dll by ordinal only.
set(ORVAN_ADAPTER_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/libftcspi_import.a)
add_custom_command(
  OUTPUT ${ORVAN_ADAPTER_IMPORT_LIBRARY}
  COMMAND ${CMAKE_DLLTOOL} -m ${ORVAN_DLLTOOL_MACHINE} -d ${ORVAN_ADAPTER_IMPORT_DEF} -l ${ORVAN_ADAPTER_IMPORT_LIBRARY}
  DEPENDS ${ORVAN_ADAPTER_IMPORT_DEF}
  COMMENT "Generating the FTCSPI.dll import library (ordinals only)"
  VERBATIM)
add_custom_target(ftcspi_import_generate DEPENDS ${ORVAN_ADAPTER_IMPORT_LIBRARY})
add_library(ftcspi_import INTERFACE)
target_link_libraries(ftcspi_import INTERFACE ${ORVAN_ADAPTER_IMPORT_LIBRARY})
add_dependencies(ftcspi_import ftcspi_import_generate)

function(orvan_link_adapter_library target)
  target_link_libraries(${target} PRIVATE ${ARGN} flash_core ftcspi_import)
  target_link_options(${target} PRIVATE -static)
  # Build the stand-in DLL beside the program, so the build runs as it is.
  add_dependencies(${target} ftcspi)
endfunction()
