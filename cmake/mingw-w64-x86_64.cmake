# Cross-building for 64-bit Windows with Debian's mingw-w64. The -posix
# compilers: their runtime has std::thread, std::mutex and
# std::condition_variable (on winpthreads); the default ones do not.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries and headers come from the cross root and the folder of
# cross-built dependencies (USBIP_WINDOWS_DEPS: include/, lib/, bin/ and
# lib/pkgconfig/), never from the machine's own /usr.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES USBIP_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${USBIP_WINDOWS_DEPS})
if(USBIP_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} ${USBIP_WINDOWS_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Wine.
find_program(USBIP_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(USBIP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${USBIP_WINE})
endif()
