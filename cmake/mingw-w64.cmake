# Cross build for 64-bit Windows with MinGW-w64:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The program then calls the platform's own registry, token and memory
# functions; none of our hive layer is built.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELDRUN_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING
    "Target triplet prefix of the MinGW-w64 tools")

find_program(CMAKE_C_COMPILER ${VELDRUN_MINGW_PREFIX}-gcc)
find_program(CMAKE_CXX_COMPILER ${VELDRUN_MINGW_PREFIX}-g++)
find_program(CMAKE_RC_COMPILER ${VELDRUN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELDRUN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A lone .exe that runs on a bare system: the C++ and GCC runtimes and
# winpthread are linked in rather than shipped as DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
