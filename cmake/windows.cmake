# 32-bit Windows build with MinGW-w64 (see cmake/mingw-i686.cmake).
#
# The adapter library is FTCSPI.dll, bound by ordinal: the virtual adapter is
# built under that name with the library's ordinals, and the program links an
# import library that names no function, only ordinals. Everything links
# statically against the compiler's runtime, so the program needs only system
# DLLs and FTCSPI.dll.

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "The adapter library is 32-bit only: build for i686 (cmake/mingw-i686.cmake)")
endif()

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES i686-w64-mingw32-dlltool dlltool REQUIRED)
endif()

# The virtual adapter as FTCSPI.dll. --kill-at drops the stdcall suffixes from
# the exported names; the ordinals come from the module-definition file.
target_sources(ftcspi PRIVATE ${CMAKE_SOURCE_DIR}/virtual_adapter/ftcspi.def)
set_target_properties(ftcspi PROPERTIES OUTPUT_NAME FTCSPI PREFIX "")
target_link_options(ftcspi PRIVATE -static -Wl,--kill-at)

# Import library for FTCSPI.dll by ordinal only.
set(ORVAN_ADAPTER_IMPORT_DEF ${CMAKE_SOURCE_DIR}/orvanwriter/adapter/ftcspi_import.def)
set(ORVAN_ADAPTER_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/libftcspi_import.a)
add_custom_command(
  OUTPUT ${ORVAN_ADAPTER_IMPORT_LIBRARY}
  COMMAND ${CMAKE_DLLTOOL} -m i386 -d ${ORVAN_ADAPTER_IMPORT_DEF} -l ${ORVAN_ADAPTER_IMPORT_LIBRARY}
  DEPENDS ${ORVAN_ADAPTER_IMPORT_DEF}
  COMMENT "Generating the FTCSPI.dll import library (ordinals only)"
  VERBATIM)
add_custom_target(ftcspi_import_generate DEPENDS ${ORVAN_ADAPTER_IMPORT_LIBRARY})
add_library(ftcspi_import INTERFACE)
target_link_libraries(ftcspi_import INTERFACE ${ORVAN_ADAPTER_IMPORT_LIBRARY})
add_dependencies(ftcspi_import ftcspi_import_generate)

function(orvan_link_adapter_library target)
  target_link_libraries(${target} PRIVATE orvan_core ftcspi_import)
  target_link_options(${target} PRIVATE -static)
  # Build the stand-in DLL beside the program, so the build runs as it is.
  add_dependencies(${target} ftcspi)
endfunction()
