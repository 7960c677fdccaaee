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

# Test code (suites, their support and fixtures): compiled lightly optimised with line tables only.
# The code under test keeps the configuration's optimisation; the tests' own bodies are mostly
# GoogleTest macro expansions whose -O2 code generation and full debug information made up most of
# the build's time without changing what the tests check. -Og keeps the flow analysis behind the
# uninitialised-use warnings.
option(KV_TEST_LIGHT_OPT "Compile test code with -Og -g1 instead of the build type's flags" ON)
function(kv_test_code target)
  kv_warnings(${target})
  if(KV_TEST_LIGHT_OPT)
    target_compile_options(${target} PRIVATE -Og -g1)
  endif()
endfunction()

# GoogleTest and GoogleMock and the standard headers every suite includes, parsed once per suite
# rather than once per source file.
option(KV_PCH "Precompile the headers every test suite includes" ON)
function(kv_test_pch target)
  if(KV_PCH)
    target_precompile_headers(${target} PRIVATE <gtest/gtest.h> <gmock/gmock.h> <string> <vector>
                              <memory> <functional> <cstring> <cstdint> <algorithm>)
  endif()
endfunction()
