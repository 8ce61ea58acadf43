# Header-only libraries from Debian packages (SimpleIni, CLI11, nlohmann-json).
#
#   loader_header_only(<var> <name>)
#
# Sets <var> to a folder that holds <name> (a header file or a folder of
# headers) as the build machine's /usr/include has it. A native build uses
# /usr/include itself. A cross build gets a copy of just <name> in a folder of
# its own: /usr/include as a whole would put the build machine's C library
# headers ahead of the target's.
function(loader_header_only var name)
  find_path(_found "${name}" PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_CACHE)
  if(NOT _found)
    message(FATAL_ERROR "${name} not found in /usr/include; scripts/setup.sh installs it")
  endif()
  if(CMAKE_CROSSCOMPILING)
    file(COPY "${_found}/${name}" DESTINATION "${CMAKE_BINARY_DIR}/host-headers")
    set(${var} "${CMAKE_BINARY_DIR}/host-headers" PARENT_SCOPE)
  else()
    set(${var} "${_found}" PARENT_SCOPE)
  endif()
endfunction()

#   loader_header_only_target(<target> <name>)
#
# For a cross build: an interface target named like the package's own (e.g.
# CLI11::CLI11) over the copy loader_header_only makes. The packages' CMake
# files would name /usr/include itself.
function(loader_header_only_target target name)
  loader_header_only(_dir "${name}")
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_dir}"
                                             INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${_dir}")
endfunction()
