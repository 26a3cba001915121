# Read by cpack for each generator: the .deb goes under /usr like every
# Debian package; the archive keeps the paths relative to its own folder.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
endif()
