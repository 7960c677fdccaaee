# Shared settings for the project's targets.

# Warnings for all project code.
function(kv_warnings target)
  # Pool tags are written as multi-character constants, as Windows drivers write them.
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-multichar)
  if(KV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Code that runs in the kernel driver: no exceptions, no RTTI, symbols local to the module.
function(kv_kernel_code target)
  kv_warnings(${target})
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# Collects the C++ sources of the given directories (relative to the project root).
function(kv_glob_sources out)
  set(files)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()
