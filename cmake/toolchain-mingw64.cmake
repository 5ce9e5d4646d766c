# Cross-compiling for 64-bit Windows with Debian's MinGW-w64:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# The "-posix" compilers use the winpthreads thread model; the default
# "-win32" ones have no std::thread. Everything is linked statically
# (libgcc, libstdc++, winpthread), so Quorvex_AE.exe needs no MinGW DLL.
# Programs built for the target run under Wine (cmake/wine-run.sh), which
# is how CTest and GoogleTest's discovery start them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QAE_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QAE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QAE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QAE_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QAE_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${QAE_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries cross-built for this target (libxml2) are installed here.
set(QAE_MINGW_PREFIX /opt/qae-mingw64 CACHE PATH "Prefix of libraries built for the Windows target")
set(CMAKE_FIND_ROOT_PATH /usr/${QAE_MINGW_TRIPLE} ${QAE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
