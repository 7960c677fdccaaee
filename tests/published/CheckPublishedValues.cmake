# Compiles the generated checks (emit_checks.cpp) against mingw-w64's headers and reports every
# published value that differs from the project's, and every name mingw-w64 does not declare.
# Fails on a difference, unless it is one of mingw-w64's own faults listed below.
#   cmake -DCOMPILER=x86_64-w64-mingw32-g++ -DDDK=<mingw ddk include dir> -DPRELUDE_DIR=<dir of
#         mingw_prelude.h> -DSOURCE=<published_checks.cpp> -P CheckPublishedValues.cmake

# Places where mingw-w64 itself departs from the published value: "<kind> <name>|<why>".
set(mingw_faults
  "guid IID_IUnknown|mingw-w64's kernel punknown.h puts 0xC0 in the third byte of Data4 instead of the first: {00000000-0000-0000-C000-000000000046}"
  "size DEVICE_OBJECT|mingw-w64 declares the record without its 16-byte alignment (328 bytes), where x64 Windows lays it out in 0x150"
  "guid KSNODETYPE_VCR_AUDIO|mingw-w64's STATIC_ list reads 0xDFF220E8, where its own GUID string and the USB terminal type 0x0709 give 0xDFF220E9")

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C
          ${COMPILER} -std=c++20 -fsyntax-only -fmax-errors=0 -I${DDK} -I${PRELUDE_DIR} ${SOURCE}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)

# Semicolons and brackets would split or bind CMake list items.
string(REPLACE ";" "," output "${output}")
string(REPLACE "[" "(" output "${output}")
string(REPLACE "]" ")" output "${output}")
string(REPLACE "\n" ";" lines "${output}")
get_filename_component(source_name ${SOURCE} NAME)

set(header_errors "")
set(tags "")  # one entry per failing check, in order
set(tag "")   # the check whose diagnostics are being read
set(awaiting_echo OFF)
foreach(line IN LISTS lines)
  if(line MATCHES "${source_name}:[0-9]+:[0-9]+: error: (.*)$")
    set(message "${CMAKE_MATCH_1}")
    set(awaiting_echo ON)
  elseif(line MATCHES ": error: ")
    string(APPEND header_errors "${line}\n")
  elseif(awaiting_echo AND line MATCHES "^ *[0-9]+ \\| .*// kv: (.*)$")
    # The compiler echoes the failing line; its tag names the check.
    set(tag "${CMAKE_MATCH_1}")
    set(awaiting_echo OFF)
    if(NOT DEFINED message_${tag})
      list(APPEND tags "${tag}")
      set(message_${tag} "${message}")
    endif()
    if(message STREQUAL "static assertion failed")
      set(failed_${tag} ON)
    endif()
  elseif(tag AND line MATCHES "note: the comparison reduces to '\\((.*) == (.*)\\)'")
    set(theirs ${CMAKE_MATCH_1})
    set(ours ${CMAKE_MATCH_2})
    foreach(v theirs ours)
      string(LENGTH "${${v}}" digits)
      if(${v} MATCHES "^[0-9]+$" AND digits LESS 19)
        math(EXPR ${v} "${${v}}" OUTPUT_FORMAT HEXADECIMAL)
      endif()
    endforeach()
    string(APPEND values_${tag} " mingw-w64 ${theirs}, ours ${ours},")
  endif()
endforeach()

if(header_errors)
  message(FATAL_ERROR "mingw-w64's headers did not compile:\n${header_errors}")
endif()

set(differ "")
set(lacking "")
set(faults "")
foreach(tag IN LISTS tags)
  if(failed_${tag})
    set(known "")
    foreach(fault IN LISTS mingw_faults)
      string(REPLACE "|" ";" parts "${fault}")
      list(GET parts 0 fault_tag)
      if(fault_tag STREQUAL tag)
        list(GET parts 1 known)
      endif()
    endforeach()
    if(known)
      string(APPEND faults "  ${tag}: ${known}\n")
    else()
      string(APPEND differ "  ${tag}:${values_${tag}}\n")
    endif()
  else()
    string(APPEND lacking "  ${tag}  (${message_${tag}})\n")
  endif()
endforeach()

file(READ ${SOURCE} source)
foreach(kind constant size offset)
  string(REGEX MATCHALL "// kv: ${kind} " found "${source}")
  list(LENGTH found count_${kind})
endforeach()
string(REGEX MATCHALL "#undef KV_G" found "${source}")
list(LENGTH found count_guid)

message("Published values compared with mingw-w64: ${count_constant} constants, ${count_guid} GUIDs, "
        "${count_size} record sizes, ${count_offset} field offsets.")
if(lacking)
  message("mingw-w64 does not declare (or declares otherwise) these names; they are not compared:\n${lacking}")
endif()
if(faults)
  message("mingw-w64 departs from the published value here; ours is kept:\n${faults}")
endif()
if(differ)
  message(FATAL_ERROR "The project's values differ from mingw-w64's:\n${differ}")
endif()
if(NOT result EQUAL 0 AND NOT tags)
  message(FATAL_ERROR "The compiler failed without naming a check:\n${output}")
endif()
