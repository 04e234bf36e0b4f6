# Shared part of the mingw-w64 toolchain files.
set(CMAKE_C_COMPILER ${SCANLINK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SCANLINK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SCANLINK_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SCANLINK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Every program and the DLL carry their C and C++ runtimes and winpthread inside, so nothing
# but system DLLs has to be shipped beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
