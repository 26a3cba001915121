# Read by cpack for each generator: the .deb goes under /usr like every
# Debian package; the archive keeps the paths relative to its own folder.
# The installation fills the man page's paths from its prefix, or relative
# ones for the archive (cmake/packaging.cmake).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  unset(ENV{ORVAN_INSTALL_RELOCATABLE})
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(ENV{ORVAN_INSTALL_RELOCATABLE} 1)
endif()
