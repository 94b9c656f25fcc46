# One static library per source folder, stacked in one direction:
# foundation < logging < remote < config < sync < daemon.
#
# A layer's include root holds a single link to its own folder, and a layer sees only its own
# root and those of the layers it links. So `#include "sync/..."` from logging/ finds no file
# and fails to build, instead of quietly creating a cycle.

set(TERNWELL_LAYER_ROOTS "${CMAKE_BINARY_DIR}/include-roots")

function(ternwell_add_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;DEPENDS")
  set(root "${TERNWELL_LAYER_ROOTS}/${name}")
  file(MAKE_DIRECTORY "${root}")
  file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}" "${root}/${name}" SYMBOLIC)
  add_library(ternwell_${name} STATIC ${arg_SOURCES})
  target_include_directories(ternwell_${name} PUBLIC "${root}")
  target_link_libraries(ternwell_${name} PUBLIC ${arg_DEPENDS})
  ternwell_set_warnings(ternwell_${name})
endfunction()
