# Builds of one commit in two folders give the same bytes: no folder names in
# the objects (debug information, __FILE__ of assertions), and on Windows no
# link time in the PE header. Dates that end up in files come from
# SOURCE_DATE_EPOCH, which string(TIMESTAMP) and CPack honour.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
cmake_path(IS_PREFIX CMAKE_SOURCE_DIR "${CMAKE_BINARY_DIR}" _binary_inside)
if(NOT _binary_inside)
  # GCC takes the last map that matches: the build folder's comes after.
  add_compile_options(-ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
endif()
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
