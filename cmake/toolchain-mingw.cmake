# Cross-compiles for Windows with Debian's mingw-w64, posix threads variant
# (the win32 variant has no std::mutex/std::thread, which GoogleTest needs).
#   QC_WINDOWS_ARCH=i686    the x86 QuorCache.dll, for 32-bit processes (default)
#   QC_WINDOWS_ARCH=x86_64  the x64 QuorCache.dll, for 64-bit processes
set(CMAKE_SYSTEM_NAME Windows)
if(NOT QC_WINDOWS_ARCH)
  set(QC_WINDOWS_ARCH i686)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${QC_WINDOWS_ARCH})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QC_WINDOWS_ARCH)

set(QC_MINGW_PREFIX ${QC_WINDOWS_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${QC_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QC_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QC_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QC_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Nothing may need a MinGW runtime DLL at run time: link the runtime statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--enable-stdcall-fixup")
