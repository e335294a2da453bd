# One place for the project's warning flags; every target links zu_warnings.
add_library(zu_warnings INTERFACE)
if(MSVC)
  target_compile_options(zu_warnings INTERFACE /W4 $<$<BOOL:${ZU_WERROR}>:/WX>)
else()
  target_compile_options(zu_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wold-style-cast -Wnon-virtual-dtor
    -Wshadow)
  if(ZU_WERROR)
    target_compile_options(zu_warnings INTERFACE -Werror)
  endif()
endif()
