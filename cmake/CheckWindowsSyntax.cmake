# Compiles the kernel driver's and the ASIO library's sources for the Windows target, syntax only, against the project's
# Windows headers (platform/include), so code that builds on the simulated machine alone fails here.
#   cmake -DROOT=<project root> [-DCOMPILER=x86_64-w64-mingw32-g++] [-DDIRS=driver/front;...]
#         -P cmake/CheckWindowsSyntax.cmake
# Without DIRS every directory of driver/, globaltopo/ and asio/ that holds sources is checked.
if(NOT COMPILER)
  set(COMPILER x86_64-w64-mingw32-g++)
endif()
find_program(compiler_path ${COMPILER})
if(NOT compiler_path)
  message(FATAL_ERROR "${COMPILER} is not installed (./kv test installs it)")
endif()

if(NOT DIRS)
  file(GLOB_RECURSE all_sources RELATIVE ${ROOT} ${ROOT}/driver/*.cpp ${ROOT}/globaltopo/*.cpp ${ROOT}/asio/*.cpp)
  foreach(source IN LISTS all_sources)
    get_filename_component(dir ${source} DIRECTORY)
    list(APPEND DIRS ${dir})
  endforeach()
  list(REMOVE_DUPLICATES DIRS)
endif()

set(failures "")
set(count 0)
foreach(dir IN LISTS DIRS)
  file(GLOB sources ${ROOT}/${dir}/*.cpp)
  foreach(source IN LISTS sources)
    math(EXPR count "${count} + 1")
    execute_process(
      COMMAND ${compiler_path} -std=c++20 -fsyntax-only -fno-exceptions -fno-rtti -Wall -Wextra -Wno-multichar
              -Werror -I${ROOT}/platform/include -I${ROOT} ${source}
      RESULT_VARIABLE result
      ERROR_VARIABLE errors)
    if(NOT result EQUAL 0)
      string(APPEND failures "${errors}")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "Sources that do not compile for the Windows target:\n${failures}")
endif()
message("${count} sources compile for the Windows target (${COMPILER}, syntax only).")
