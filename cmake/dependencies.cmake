# The packages the build cannot go without, found once at configure time.
# A missing one stops the configure with one line that names the Debian
# package holding it; scripts/packages.txt lists the same packages for the
# set-up. Optional tools are found where their tests are, each with one
# status line when missing.

# Usage: orvan_require_package(NAME DEBIAN_PACKAGE [find_package options]).
# A macro, so that NAME_FOUND and the imported targets reach the caller.
macro(orvan_require_package name debian_package)
  find_package(${name} CONFIG QUIET ${ARGN})
  if(NOT ${name}_FOUND)
    message(FATAL_ERROR "${name} not found: install the Debian package ${debian_package}")
  endif()
endmacro()

# The same for a package that CMake's own find module finds.
macro(orvan_require_module name debian_package)
  find_package(${name} QUIET)
  if(NOT ${name}_FOUND)
    message(FATAL_ERROR "${name} not found: install the Debian package ${debian_package}")
  endif()
endmacro()

# CLI11 and nlohmann-json are header-only: the Windows build takes the host's
# copies, which its cross tool chain's find root does not hold.
if(WIN32)
  set(ORVAN_HOST_PACKAGE NO_CMAKE_FIND_ROOT_PATH)
endif()
orvan_require_package(CLI11 libcli11-dev ${ORVAN_HOST_PACKAGE})
orvan_require_package(nlohmann_json nlohmann-json3-dev ${ORVAN_HOST_PACKAGE})
# The recipe's TOML reader is header-only too; the production database's
# SQLite and libpq are libraries, which the Windows build goes without.
# The Windows build takes its headers alone: the package file refuses a
# 32-bit build, since it also offers the host's 64-bit library.
if(WIN32)
  find_path(ORVAN_TOML_HEADERS toml++/toml.h NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ORVAN_TOML_HEADERS)
    message(FATAL_ERROR "tomlplusplus not found: install the Debian package libtomlplusplus-dev")
  endif()
  add_library(tomlplusplus::tomlplusplus INTERFACE IMPORTED)
  set_target_properties(tomlplusplus::tomlplusplus PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${ORVAN_TOML_HEADERS})
else()
  orvan_require_package(tomlplusplus libtomlplusplus-dev)
endif()
if(NOT WIN32)
  orvan_require_module(SQLite3 libsqlite3-dev)
  orvan_require_module(PostgreSQL libpq-dev)
endif()
if(ORVAN_TESTS AND NOT WIN32 AND NOT ORVAN_FUZZ)
  orvan_require_package(GTest libgtest-dev)
  include(GoogleTest)
  # A private PostgreSQL cluster for the tests of the production database;
  # without it those tests say so and are skipped.
  find_program(ORVAN_PG_VIRTUALENV pg_virtualenv)
endif()

# The command line, JSON and TOML headers for orvan. On Windows only these
# folders of the host's /usr/include, never the rest, which is not for the
# cross compiler.
add_library(orvan_cli_headers INTERFACE)
if(WIN32)
  set(ORVAN_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${ORVAN_HOST_HEADERS})
  foreach(pair "CLI11::CLI11;CLI/CLI.hpp" "nlohmann_json::nlohmann_json;nlohmann/json.hpp"
               "tomlplusplus::tomlplusplus;toml++/toml.h")
    list(GET pair 0 imported)
    list(GET pair 1 header)
    get_target_property(folders ${imported} INTERFACE_INCLUDE_DIRECTORIES)
    find_path(found ${header} PATHS ${folders} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    get_filename_component(top ${header} DIRECTORY)
    file(CREATE_LINK ${found}/${top} ${ORVAN_HOST_HEADERS}/${top} SYMBOLIC)
    unset(found CACHE)
  endforeach()
  target_include_directories(orvan_cli_headers SYSTEM INTERFACE ${ORVAN_HOST_HEADERS})
else()
  target_link_libraries(orvan_cli_headers INTERFACE CLI11::CLI11 nlohmann_json::nlohmann_json
                                                    tomlplusplus::tomlplusplus)
endif()
