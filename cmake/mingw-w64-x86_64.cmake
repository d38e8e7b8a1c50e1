# Cross-compiling the Windows build on Debian with MinGW-w64
# (g++-mingw-w64-x86-64-posix): a 64-bit console program that needs no DLL
# beyond those Windows itself ships.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VARN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in, so the .exe imports only
# system DLLs (kernel32, msvcrt, ws2_32, odbc32, advapi32).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
