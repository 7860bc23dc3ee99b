# The fuzz targets need libFuzzer, which only clang ships. Everything of ours
# is built with its coverage hooks and both sanitizers, so that a finding deep
# in a library is seen where it happens; only the targets link the fuzzer's
# own main.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "LORVEX_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
