# libFuzzer targets (option LOADER_FUZZ, scripts/fuzz.sh), clang only.
#
#   loader_fuzz_target(<name> <source>...)
#
# An executable built with the fuzzer and the Address and UndefinedBehavior
# sanitizers. Each target compiles the code it fuzzes among its own sources,
# so that this copy carries the coverage and the libraries the tool and the
# tests link stay as they are.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "LOADER_FUZZ needs clang: configure with CC=clang CXX=clang++")
endif()

function(loader_fuzz_target name)
  set(_flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${_flags})
  target_link_options(${name} PRIVATE ${_flags})
endfunction()
