# Every target of ours gets the same strict warnings; nothing is silenced to
# make a build pass.
add_library(lorvex_warnings INTERFACE)
target_compile_options(lorvex_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
  -Wnon-virtual-dtor -Woverloaded-virtual
  -Wimplicit-fallthrough)
