# Manual pages: doc/NAME.1.in, with the version and the date filled in, is
# built as build/NAME.1 (for `man ./build/NAME.1` and the lint test) and
# compressed with `gzip -9n` (no name, no time stamp: the same bytes on every
# build) into build/man/NAME.1.gz, which is what is installed, as Debian
# packages have them. A program's page is one line:
#   orvan_install_man_page(orvanwriter-virtual)

string(TIMESTAMP ORVAN_MAN_DATE "%Y-%m-%d" UTC)

function(orvan_install_man_page name)
  set(page ${CMAKE_BINARY_DIR}/${name}.1)
  set(compressed ${CMAKE_BINARY_DIR}/man/${name}.1.gz)
  configure_file(${CMAKE_SOURCE_DIR}/doc/${name}.1.in ${page} @ONLY)
  orvan_gzip(${page} ${compressed})
  add_custom_target(man_page_${name} ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

# Compresses a file as Debian wants documentation compressed: the most, and
# reproducibly. The caller makes a target that depends on the output.
function(orvan_gzip input output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "mkdir -p \"$(dirname \"$2\")\" && gzip -9n -c \"$1\" >\"$2\"" sh ${input} ${output}
    DEPENDS ${input} VERBATIM)
endfunction()
