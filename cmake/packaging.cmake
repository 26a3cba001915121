# Installation (GNUInstallDirs) and the packages CPack makes from it:
#   Linux: a .tar.gz and a .deb   (cpack in build/)
#   Windows: a .zip of the 32-bit program   (cpack in build-windows/)
# Every package name carries the project version.

set(CPACK_PACKAGE_NAME orvanwriter)
set(CPACK_PACKAGE_VENDOR "orvanwriter developers")
# The .deb's Maintainer: the project, not a person.
set(CPACK_PACKAGE_CONTACT "orvanwriter developers <maintainers@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The .deb's extended description: lines of at most 80 characters, a lone
# "." between paragraphs.
set(CPACK_PACKAGE_DESCRIPTION "orvanwriter writes raw image files into the 128 KB serial flash of the
Orvan target chip through a USB-to-SPI adapter cable. For each image it
erases the 16 KB sectors the image needs, checks that they read back blank,
programs the image, reads it back and compares it, with its progress on the
console and an exit status for scripts.
.
orvanwriter-virtual runs the same program against the virtual adapter, an
emulated cable and target chip, to try the tool without hardware.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The adapter vendor's library is 32-bit: the 64-bit build is only a test
  # vehicle and makes no package.
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    return()
  endif()
  # Flat, as the operator unpacks it beside the vendor's FTCSPI.dll:
  #   orvanwriter.exe, orvan.exe, README-windows.txt, virtual-adapter/FTCSPI.dll
  install(TARGETS orvanwriter RUNTIME DESTINATION .)
  install(TARGETS orvan RUNTIME DESTINATION .)
  install(TARGETS ftcspi RUNTIME DESTINATION virtual-adapter ARCHIVE DESTINATION import EXCLUDE_FROM_ALL)
  # Windows line ends, for Notepad.
  configure_file(${CMAKE_SOURCE_DIR}/doc/README-windows.txt.in ${CMAKE_BINARY_DIR}/README-windows.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README-windows.txt DESTINATION .)
  # The licence and the changes, with Windows line ends too.
  foreach(pair COPYRIGHT:copyright.txt CHANGELOG.md:changelog.txt)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 source)
    list(GET pair 1 target)
    file(READ ${CMAKE_SOURCE_DIR}/${source} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/${target} "${text}")
    install(FILES ${CMAKE_BINARY_DIR}/${target} DESTINATION .)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${source})
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME orvanwriter-${PROJECT_VERSION}-windows-x86)
  include(CPack)
  return()
endif()

# The program finds its adapter library through its run path in
# lib/orvanwriter: the hardware library when it is built, else the virtual
# adapter. The virtual adapter always lies in lib/orvanwriter/virtual-adapter,
# where the orvanwriter-virtual command points the loader.
set(ORVAN_INSTALL_LIBRARY_DIR ${CMAKE_INSTALL_LIBDIR}/orvanwriter)
install(TARGETS orvanwriter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ftcspi LIBRARY DESTINATION ${ORVAN_INSTALL_LIBRARY_DIR}/virtual-adapter)
if(TARGET mpsse_adapter)
  install(TARGETS mpsse_adapter LIBRARY DESTINATION ${ORVAN_INSTALL_LIBRARY_DIR})
  # Where udev reads the rules of installed packages (the .deb's /usr/lib).
  install(FILES ${CMAKE_SOURCE_DIR}/mpsse_adapter/60-vexil-cable.rules DESTINATION lib/udev/rules.d)
else()
  message(STATUS "No hardware adapter library (libftdi1 not found): the virtual adapter is the installed default")
  install(TARGETS ftcspi LIBRARY DESTINATION ${ORVAN_INSTALL_LIBRARY_DIR})
endif()

configure_file(${CMAKE_SOURCE_DIR}/scripts/orvanwriter-virtual.in ${CMAKE_BINARY_DIR}/orvanwriter-virtual @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/orvanwriter-virtual DESTINATION ${CMAKE_INSTALL_BINDIR})

include(cmake/man_pages.cmake)
orvan_install_man_page(orvanwriter)
orvan_install_man_page(orvanwriter-virtual)

# Beside the README: the licence as a machine-readable copyright file and the
# changes compressed, in the Debian changelog form, where and as a Debian
# package has them.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
  COMMAND sh -c "sh \"$1\" \"$2\" orvanwriter \"$3\" >\"$4\"" sh ${CMAKE_SOURCE_DIR}/scripts/debian-changelog.sh
          ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${CPACK_PACKAGE_CONTACT} ${CMAKE_BINARY_DIR}/doc/changelog
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/debian-changelog.sh ${CMAKE_SOURCE_DIR}/CHANGELOG.md VERBATIM)
orvan_gzip(${CMAKE_BINARY_DIR}/doc/changelog ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/COPYRIGHT DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
# The documents the README links to, where its relative links find them.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/doc/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc FILES_MATCHING PATTERN "*.md")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/doc/example-recipe DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)

# orvan, the companion command: beside orvanwriter, with the same run path,
# its manual pages (the command's, and its recipe file's) and its bash
# completion.
install(TARGETS orvan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
orvan_install_man_page(orvan)
orvan_install_man_page(orvan-recipe 5)
install(FILES ${CMAKE_BINARY_DIR}/orvan.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME orvan)

# liborvan (liborvan/CMakeLists.txt) is a public library in /usr/lib: its
# shlibs entry and the ldconfig trigger go with the package, and its Python
# module needs python3.
if(TARGET liborvan)
  set(ORVAN_DEB_CONTROL ${CMAKE_BINARY_DIR}/deb-control)
  file(WRITE ${ORVAN_DEB_CONTROL}/shlibs "liborvan 1 orvanwriter (>= ${PROJECT_VERSION})\n")
  file(WRITE ${ORVAN_DEB_CONTROL}/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${ORVAN_DEB_CONTROL}/shlibs ${ORVAN_DEB_CONTROL}/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_ORVAN_EXTRA_DEPENDS python3)
endif()

set(CPACK_GENERATOR TGZ DEB)
set(CPACK_PACKAGE_FILE_NAME orvanwriter-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The adapter libraries are private (lib/orvanwriter, found through the
# program's run path): no shlibs entry and no ldconfig call for them. CPack adds ldconfig to postinst
# and postrm for any shared object under /usr/lib once it scans the files for
# dpkg-shlibdeps, so the scan is cmake/deb_dependencies.cmake's, and it gives
# the Depends field alone.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/deb_dependencies.cmake)
# The .deb installs under /usr; the archive unpacks anywhere.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack_generators.cmake)
include(CPack)
