# Installation (GNUInstallDirs) and the packages CPack makes from it:
#   Linux: a .tar.gz and a .deb   (cpack in build/)
#   Windows: a .zip of the 32-bit program   (cpack in build-windows/)
# Every package name carries the project version.

set(CPACK_PACKAGE_NAME orvanwriter)
set(CPACK_PACKAGE_VENDOR "orvanwriter developers")
set(CPACK_PACKAGE_CONTACT "orvanwriter developers <maintainers@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
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

string(TIMESTAMP ORVAN_MAN_DATE "%Y-%m-%d" UTC)
configure_file(${CMAKE_SOURCE_DIR}/doc/orvanwriter.1.in ${CMAKE_BINARY_DIR}/orvanwriter.1 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvanwriter.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# orvan, the companion command: beside orvanwriter, with the same run path,
# its manual page and its bash completion.
install(TARGETS orvan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
configure_file(${CMAKE_SOURCE_DIR}/doc/orvan.1.in ${CMAKE_BINARY_DIR}/orvan.1 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvan.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/scripts/orvan.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME orvan)

set(CPACK_GENERATOR TGZ DEB)
set(CPACK_PACKAGE_FILE_NAME orvanwriter-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The .deb installs under /usr; the archive unpacks anywhere.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack_generators.cmake)
include(CPack)
