# Each library names the source folders whose headers it offers; a target
# sees only the folders of the libraries it links, and its own. Headers are
# included by their path from the source root ("emulated_target/target.h"),
# so each library's folders are linked into a root of its own in the build
# tree, and that root is what it offers.

# Usage: orvan_offer_headers(TARGET FOLDER...), FOLDER relative to the source root.
function(orvan_offer_headers target)
  set(root ${CMAKE_BINARY_DIR}/headers/${target})
  foreach(folder ${ARGN})
    # A link left by an older layout where a folder now goes is removed (the
    # link only), so that nothing is made through it in the source tree.
    set(path ${root})
    string(REPLACE "/" ";" parts ${folder})
    foreach(part ${parts})
      set(path ${path}/${part})
      if(IS_SYMLINK ${path} AND NOT path STREQUAL ${root}/${folder})
        file(REMOVE ${path})
      endif()
    endforeach()
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  endif()
endfunction()
