# What both mingw-w64 tool chains share; mingw-w64-x86_64.cmake and
# mingw-w64-i686.cmake set CMAKE_SYSTEM_PROCESSOR and include this.
set(CMAKE_SYSTEM_NAME Windows)
set(_mingw ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
# The -posix compilers: the win32 thread model lacks std::thread and std::mutex.
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry libstdc++, libgcc and winpthread inside, so they run without
# the tool chain's DLLs on the path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
