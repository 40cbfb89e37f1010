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
if(ZIMRAX_BUILD_FUZZ)
  # Every target of the fuzz build, the library objects included, carries the
  # coverage instrumentation that libFuzzer feeds on, plus the sanitizers.
  # Only the fuzz targets themselves link libFuzzer (-fsanitize=fuzzer).
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZIMRAX_BUILD_FUZZ needs clang (libFuzzer); use the fuzz preset")
  endif()
  target_compile_options(zimrax_build_flags INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(zimrax_build_flags INTERFACE -fsanitize=address,undefined)
endif()
