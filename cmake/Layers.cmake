# Each library sees its own folder and the folders of the libraries it links,
# nothing else: a layer's include root holds one link, to its own folder, so
# that `#include "cli/Record.h"` in a file of src/ntfs finds no such header
# and the build stops. tests/layers checks the same table in the sources.
#
# lorvex_layer(TARGET FOLDER [PRIVATE|PUBLIC|INTERFACE])
function(lorvex_layer target folder)
  set(scope PUBLIC)
  if(ARGC GREATER 2)
    set(scope ${ARGV2})
  endif()
  set(root ${PROJECT_BINARY_DIR}/layers/${folder})
  if(NOT EXISTS ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()
