# Sanitizer builds are separate build trees (see scripts/test); flags apply globally so
# that every library and test in the tree is instrumented alike.
if(ZU_SANITIZE)
  add_compile_options(-fsanitize=${ZU_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${ZU_SANITIZE})
  if(ZU_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
