# Compares the method order of every COM interface the project's kernel headers declare (the
# port-class and kernel-streaming interfaces the driver calls or implements) with mingw-w64's
# declarations: both sides are compiled with x86_64-w64-mingw32-g++ -fdump-lang-class, with the
# methods made non-pure so the dumped vtables name them, and each interface's slots must name
# the same methods in the same order. A slot out of place is a call to the wrong method on Windows.
#   cmake -DCOMPILER=x86_64-w64-mingw32-g++ -DDDK=<mingw ddk include dir> -DPRELUDE_DIR=<dir of
#         mingw_prelude.h> -DINCLUDE=<project platform/include> -DWORK=<scratch dir>
#         -P CheckInterfaceOrder.cmake
cmake_minimum_required(VERSION 3.25)
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/theirs.cpp "#include <basetyps.h>\n#undef PURE\n#define PURE\n#include \"mingw_prelude.h\"\n")
# Our side: a copy of win/unknown.h with an empty PURE, found before the original.
file(READ ${INCLUDE}/win/unknown.h unknown)
string(REPLACE "#define PURE = 0" "#define PURE" unknown "${unknown}")
file(WRITE ${WORK}/win/unknown.h "${unknown}")
file(WRITE ${WORK}/ours.cpp "#include <win/kernel.h>\n#include <win/ks.h>\n#include <win/ksmedia.h>\n"
                            "#include <win/portcls.h>\n#include <win/usb.h>\n")
file(GLOB old_dumps ${WORK}/*.class)
if(old_dumps)
  file(REMOVE ${old_dumps})
endif()
foreach(side theirs ours)
  execute_process(
    COMMAND ${COMPILER} -std=c++20 -fsyntax-only -fdump-lang-class -Wno-multichar -I${DDK} -I${PRELUDE_DIR}
            -I${WORK} -I${INCLUDE} ${side}.cpp
    WORKING_DIRECTORY ${WORK} RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${side}.cpp does not compile:\n${errors}")
  endif()
  file(GLOB dump ${WORK}/*${side}.cpp*.class)
  file(STRINGS ${dump} lines)
  # Vtable for IName, then "<offset> (int (*)(...))Class::Method" per slot, then a blank line.
  set(current "")
  set(interfaces_${side} "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^Vtable for (I[A-Za-z0-9_]+)$")
      set(current ${CMAKE_MATCH_1})
      list(APPEND interfaces_${side} ${current})
      set(${side}_${current} "")
    elseif(current AND line MATCHES "^[0-9]+ +\\(int \\(\\*\\)\\(\\.\\.\\.\\)\\)[A-Za-z0-9_]+::([A-Za-z0-9_~]+)$")
      list(APPEND ${side}_${current} ${CMAKE_MATCH_1})
    elseif(line STREQUAL "")
      set(current "")
    endif()
  endforeach()
endforeach()

set(failures "")
foreach(interface IN LISTS interfaces_ours)
  if(NOT interface IN_LIST interfaces_theirs)
    string(APPEND failures "${interface}: mingw-w64 does not declare it\n")
  elseif(NOT "${ours_${interface}}" STREQUAL "${theirs_${interface}}")
    string(REPLACE ";" " " o "${ours_${interface}}")
    string(REPLACE ";" " " t "${theirs_${interface}}")
    string(APPEND failures "${interface}:\n  ours      ${o}\n  mingw-w64 ${t}\n")
  endif()
endforeach()
list(LENGTH interfaces_ours count)
if(count EQUAL 0)
  message(FATAL_ERROR "no interface found in the project's headers")
endif()
if(failures)
  message(FATAL_ERROR "Interfaces whose methods differ from mingw-w64's order:\n${failures}")
endif()
string(REPLACE ";" " " names "${interfaces_ours}")
message("${count} interfaces match mingw-w64's method order: ${names}")
