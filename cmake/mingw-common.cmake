# Shared by the mingw-w64 toolchain files, which first set KAVREL_MINGW_TRIPLE, KAVREL_WINE_ARCH
# (the word size of scripts/wine-env's prefix). The -posix compilers give
# std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KAVREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVREL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KAVREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
# A test program runs in a private prefix of the build's own word size, where `wine` is the loader
# of that size (/usr/bin/wine always starts the 32-bit one); inside a prepared prefix, in it.
set(CMAKE_CROSSCOMPILING_EMULATOR env KAVREL_WINE_ARCH=${KAVREL_WINE_ARCH}
    ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-env wine)
