# Manual pages: doc/NAME.1.in, with the version and the date filled in, is
# built as build/NAME.1 (for `man ./build/NAME.1` and the lint test), with
# the paths of the configured prefix; a page of another section likewise. A page's FILES section names the prefix
# it is installed under, which only the installation knows (cmake --install
# --prefix, the .deb's /usr): the installation fills the page again and
# compresses it with `gzip -9n` (no name, no time stamp: the same bytes on
# every build), as Debian packages have them. The archive unpacks anywhere
# (cmake/cpack_generators.cmake sets ORVAN_INSTALL_RELOCATABLE for it), so
# its pages give the paths relative to its folder. A page is one line, with
# its section when it is not 1 (a program's); a file format's page is in
# section 5, doc/NAME.5.in:
#   orvan_install_man_page(orvanwriter-virtual)
#   orvan_install_man_page(orvan-recipe 5)

string(TIMESTAMP ORVAN_MAN_DATE "%Y-%m-%d" UTC)

function(orvan_install_man_page name)
  set(section 1)
  if(ARGC GREATER 1)
    set(section ${ARGV1})
  endif()
  set(ORVAN_MAN_FILES_NOTE "Paths as installed under ${CMAKE_INSTALL_PREFIX}.")
  configure_file(${CMAKE_SOURCE_DIR}/doc/${name}.${section}.in ${CMAKE_BINARY_DIR}/${name}.${section} @ONLY)
  install(CODE "
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(ORVAN_MAN_DATE \"${ORVAN_MAN_DATE}\")
    if(\"\$ENV{ORVAN_INSTALL_RELOCATABLE}\")
      set(CMAKE_INSTALL_FULL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
      set(CMAKE_INSTALL_FULL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
      set(CMAKE_INSTALL_FULL_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
      set(ORVAN_MAN_FILES_NOTE \"Paths relative to the folder the archive was unpacked into.\")
    else()
      set(CMAKE_INSTALL_FULL_LIBDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\")
      set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      set(CMAKE_INSTALL_FULL_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
      set(ORVAN_MAN_FILES_NOTE \"Paths as installed under \${CMAKE_INSTALL_PREFIX}.\")
    endif()
    set(filled \"${CMAKE_BINARY_DIR}/man/${name}.${section}\")
    set(page \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man${section}/${name}.${section}.gz\")
    configure_file(\"${CMAKE_SOURCE_DIR}/doc/${name}.${section}.in\" \"\${filled}\" @ONLY)
    get_filename_component(folder \"\${page}\" DIRECTORY)
    file(MAKE_DIRECTORY \"\${folder}\")
    message(STATUS \"Installing: \${page}\")
    execute_process(COMMAND sh -c \"gzip -9n -c \\\"\$1\\\" >\\\"\$2\\\"\" sh \"\${filled}\" \"\${page}\"
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"cannot compress \${page}\")
    endif()
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${page}\")
  ")
endfunction()

# Compresses a file as Debian wants documentation compressed: the most, and
# reproducibly. The caller makes a target that depends on the output.
function(orvan_gzip input output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "mkdir -p \"$(dirname \"$2\")\" && gzip -9n -c \"$1\" >\"$2\"" sh ${input} ${output}
    DEPENDS ${input} VERBATIM)
endfunction()
