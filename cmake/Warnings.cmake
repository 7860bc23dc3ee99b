# Every target of ours gets the same strict warnings; nothing is silenced to
# make a build pass. They stop the build (LORVEX_WERROR) in CI and in the
# developers' builds (tools/run-tests), never in a user's or a packager's: a
# newer compiler's new warning must not break their build.
option(LORVEX_WERROR "Treat compiler warnings as errors (CI, development)" OFF)
add_library(lorvex_warnings INTERFACE)
target_compile_options(lorvex_warnings INTERFACE
  -Wall -Wextra -Wpedantic
  -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
  -Wnon-virtual-dtor -Woverloaded-virtual
  -Wimplicit-fallthrough)
if(LORVEX_WERROR)
  target_compile_options(lorvex_warnings INTERFACE -Werror)
endif()
