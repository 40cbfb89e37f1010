# zimrax/version.h, generated from project(VERSION) into the build tree, and
# the usage requirements that every library target carries.
set(ZIMRAX_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in ${ZIMRAX_GENERATED_INCLUDE_DIR}/zimrax/version.h @ONLY)

# zimrax_library_interface(TARGET...): each target compiles as C++20 and
# passes that on (so a find_package consumer needs no standard setting of its
# own), and finds the generated headers beside the ones in include/.
function(zimrax_library_interface)
  foreach(target IN LISTS ARGN)
    target_compile_features(${target} PUBLIC cxx_std_20)
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${ZIMRAX_GENERATED_INCLUDE_DIR}>)
  endforeach()
endfunction()
