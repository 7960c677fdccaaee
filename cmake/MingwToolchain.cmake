# Cross toolchain for the Windows x64 images: mingw-w64 from Debian's registry.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/MingwToolchain.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KV_MINGW_TRIPLE x86_64-w64-mingw32)
# The win32 thread model: the DLL depends on system DLLs only, never on a threads library.
find_program(KV_MINGW_CXX NAMES ${KV_MINGW_TRIPLE}-g++-win32 ${KV_MINGW_TRIPLE}-g++ REQUIRED)
find_program(KV_MINGW_CC NAMES ${KV_MINGW_TRIPLE}-gcc-win32 ${KV_MINGW_TRIPLE}-gcc REQUIRED)
set(CMAKE_CXX_COMPILER ${KV_MINGW_CXX})
set(CMAKE_C_COMPILER ${KV_MINGW_CC})
set(CMAKE_RC_COMPILER ${KV_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${KV_MINGW_TRIPLE}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
