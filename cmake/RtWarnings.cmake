# Warning set for the project's own targets (not for third-party code).
add_library(rt_warnings INTERFACE)
target_compile_options(rt_warnings INTERFACE -Wall -Wextra -Wshadow -Wpointer-arith -Woverloaded-virtual)
if(RT_WERROR)
  target_compile_options(rt_warnings INTERFACE -Werror)
endif()
