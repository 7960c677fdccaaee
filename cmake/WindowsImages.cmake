# The two deliverables as Windows x64 images, built with the mingw-w64 cross toolchain
# (cmake/MingwToolchain.cmake): the kernel driver KV-380D.sys and the ASIO driver library
# KV-380DASIO64.dll. Only the deliverables are built here; tests run in the simulated build.

# Each image names the system libraries it links; none by default.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")

set(KV_WINDOWS_INCLUDES ${PROJECT_SOURCE_DIR}/platform/include ${PROJECT_SOURCE_DIR})

# ---------------------------------------------------------------------------------------------
# KV-380D.sys: a native-subsystem WDM driver image that links against the kernel's modules only.

list(TRANSFORM KV_ENGINE_FOLDERS PREPEND driver/engine/ OUTPUT_VARIABLE engine_dirs)
kv_glob_sources(kernel_sources driver/runtime driver/runtime/windows driver/signal globaltopo/common/QVT ${engine_dirs} driver/front)

# portcls.sys has no import library in mingw-w64: one is made from the committed list of the
# port-class exports the driver may call.
set(portcls_def ${PROJECT_SOURCE_DIR}/driver/portcls.def)
set(portcls_lib ${PROJECT_BINARY_DIR}/libportcls.a)
add_custom_command(OUTPUT ${portcls_lib}
                   COMMAND ${CMAKE_DLLTOOL} --input-def ${portcls_def} --dllname portcls.sys
                           --output-lib ${portcls_lib}
                   DEPENDS ${portcls_def} VERBATIM)
add_custom_target(portcls_import DEPENDS ${portcls_lib})

add_executable(KV-380D ${kernel_sources})
add_dependencies(KV-380D portcls_import)
set_target_properties(KV-380D PROPERTIES SUFFIX ".sys" RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
target_include_directories(KV-380D PRIVATE ${KV_WINDOWS_INCLUDES})
kv_warnings(KV-380D)
target_compile_options(KV-380D PRIVATE
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector -mno-stack-arg-probe
  -fno-math-errno -ffp-contract=off -mno-mmx -mno-3dnow -Wframe-larger-than=2048)
target_link_options(KV-380D PRIVATE
  -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--wdmdriver
  -Wl,--nxcompat -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--image-base,0x140000000
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc -Wl,--no-undefined
  -Wl,--exclude-all-symbols -Wl,--gc-sections -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
  -Wl,--no-insert-timestamp -s)
target_link_libraries(KV-380D PRIVATE ${portcls_lib} ntoskrnl hal ks usbd ksecdd)

# ---------------------------------------------------------------------------------------------
# KV-380DASIO64.dll: an in-process COM server that depends on system DLLs only. Its dialog and
# bitmap are resources made by the host tool kvrcgen from the templates the simulated dialog
# manager reads (KV_HOST_TOOLS: the simulated build's bin directory, ./kv windows passes it).

set(KV_HOST_TOOLS "" CACHE PATH "Directory of the host tools kvrcgen and kvpecheck (<simulated build>/bin)")
if(NOT EXISTS "${KV_HOST_TOOLS}/kvrcgen")
  message(FATAL_ERROR "KV_HOST_TOOLS must name the simulated build's bin directory with kvrcgen (./kv windows does)")
endif()
set(panel_rc ${PROJECT_BINARY_DIR}/asio/ControlPanel.rc)
add_custom_command(OUTPUT ${panel_rc} ${PROJECT_BINARY_DIR}/asio/ControlPanel.bmp
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/asio
                   COMMAND ${KV_HOST_TOOLS}/kvrcgen ${panel_rc} ${PROJECT_BINARY_DIR}/asio/ControlPanel.bmp
                   DEPENDS ${KV_HOST_TOOLS}/kvrcgen ${PROJECT_SOURCE_DIR}/asio/ControlPanelResource.cpp VERBATIM)

kv_glob_sources(asio_sources asio)
# The templates reach Windows as the resource script, not as exported data.
list(FILTER asio_sources EXCLUDE REGEX "/ControlPanelResource\\.cpp$")
add_library(KV-380DASIO64 SHARED ${asio_sources} ${panel_rc} ${PROJECT_SOURCE_DIR}/asio/KV-380DASIO64.def)
set_target_properties(KV-380DASIO64 PROPERTIES PREFIX "" SUFFIX ".dll" RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
target_include_directories(KV-380DASIO64 PRIVATE ${KV_WINDOWS_INCLUDES})
kv_warnings(KV-380DASIO64)
target_link_options(KV-380DASIO64 PRIVATE
  -static-libgcc -static-libstdc++ -Wl,--subsystem,windows -Wl,--nxcompat -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--no-undefined
  -Wl,--no-insert-timestamp -s)
target_link_libraries(KV-380DASIO64 PRIVATE setupapi advapi32 ole32 user32 winmm kernel32)

# The smoke test's ASIO host (tools/winsmoke/run.sh runs it under wine).
add_executable(kvasiohost ${PROJECT_SOURCE_DIR}/tools/winsmoke/host.cpp)
set_target_properties(kvasiohost PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
target_include_directories(kvasiohost PRIVATE ${KV_WINDOWS_INCLUDES})
kv_warnings(kvasiohost)
target_link_options(kvasiohost PRIVATE -static-libgcc -static-libstdc++)
target_link_libraries(kvasiohost PRIVATE ole32 kernel32)
