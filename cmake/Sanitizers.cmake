# Sanitizer builds are separate build trees (see scripts/test); flags apply globally so
# that every library and test in the tree is instrumented alike.
if(ZU_SANITIZE)
  add_compile_options(-fsanitize=${ZU_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${ZU_SANITIZE})
  if(ZU_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# The fuzzing build (tests/fuzz) instruments every library for libFuzzer's coverage
# feedback and checks it with ASan and UBSan; only the fuzz targets link libFuzzer's main.
if(ZU_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZU_FUZZ=ON needs clang (configure with CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()
