# Warning and sanitizer flags shared by every target of the project.
add_library(zimrax_build_flags INTERFACE)
target_compile_options(zimrax_build_flags INTERFACE -Wall -Wextra -Wpedantic)
if(ZIMRAX_WERROR)
  target_compile_options(zimrax_build_flags INTERFACE -Werror)
endif()
if(ZIMRAX_SANITIZE)
  target_compile_options(zimrax_build_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(zimrax_build_flags INTERFACE -fsanitize=address,undefined)
endif()
