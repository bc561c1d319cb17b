# Cross-build for 64-bit Windows with mingw-w64; tests run under Wine.
#   cmake --preset mingw
# The -posix compilers are named explicitly: the -win32 flavour has no
# std::thread/std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RT_MINGW_TRIPLE}-windres)

# Headers and libraries come from the mingw sysroot only; the host's
# /usr/include holds glibc headers that break a Windows build.
set(CMAKE_FIND_ROOT_PATH /usr/${RT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A static runtime lets Wine run the .exe without copying libgcc, libstdc++
# and libwinpthread DLLs next to it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

get_filename_component(_rt_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_rt_source_root}/scripts/wine-run.sh")

# nlohmann-json is header-only but installed in the host's /usr/include, which
# must not be on a mingw include path. A build-tree folder that holds only a
# link to it is used instead:
#   if(RT_NLOHMANN_INCLUDE_DIR)
#     target_include_directories(<target> SYSTEM PRIVATE ${RT_NLOHMANN_INCLUDE_DIR})
#   endif()
# Native builds leave the variable unset and find the headers in /usr/include.
get_property(_rt_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _rt_in_try_compile AND EXISTS /usr/include/nlohmann/json.hpp)
  set(RT_NLOHMANN_INCLUDE_DIR "${CMAKE_BINARY_DIR}/_nlohmann_include")
  if(NOT EXISTS "${RT_NLOHMANN_INCLUDE_DIR}/nlohmann/json.hpp")
    file(MAKE_DIRECTORY "${RT_NLOHMANN_INCLUDE_DIR}")
    file(CREATE_LINK /usr/include/nlohmann "${RT_NLOHMANN_INCLUDE_DIR}/nlohmann" SYMBOLIC)
  endif()
endif()
