# Run by cpack after it has installed the files to package and before it
# packs them (CPACK_PRE_BUILD_SCRIPTS): for the .deb, the Depends field from
# dpkg-shlibdeps over every ELF file of the package, the packages that give
# the libraries they need. Its own libraries, in lib/orvanwriter, it finds
# through the program's run path and leaves out.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root ${CPACK_TEMPORARY_DIRECTORY})
file(GLOB_RECURSE files LIST_DIRECTORIES false ${root}/*)
set(arguments)
foreach(file IN LISTS files)
  if(NOT IS_SYMLINK ${file})
    file(READ ${file} magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
      list(APPEND arguments -e${file})
    endif()
  endif()
endforeach()

# dpkg-shlibdeps reads the package's place from a debian/ folder and $ORIGIN
# in run paths from the DEBIAN/ folder at the root of the installed files.
set(work ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/debian ${root}/DEBIAN)
file(TOUCH ${work}/debian/control)
execute_process(COMMAND dpkg-shlibdeps -O --warnings=0 ${arguments}
  WORKING_DIRECTORY ${work}
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
file(REMOVE_RECURSE ${work} ${root}/DEBIAN)
if(NOT status EQUAL 0 OR NOT output MATCHES "shlibs:Depends=([^\n]*)")
  message(FATAL_ERROR "dpkg-shlibdeps failed (status ${status}): ${errors}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
# What no ELF file names: python3, for the Python module (cmake/packaging.cmake).
if(CPACK_ORVAN_EXTRA_DEPENDS)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${CPACK_ORVAN_EXTRA_DEPENDS}")
endif()
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
