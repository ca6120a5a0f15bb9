# Shared by the mingw-w64 toolchain files, which first set KAVREL_MINGW_TRIPLE, KAVREL_WINE_ARCH
# (the word size of scripts/wine-env's prefix) and KAVREL_WINE_LOADER. The -posix compilers give
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
# The loader of the build's own word size: /usr/bin/wine always starts the 32-bit one.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVREL_WINE_LOADER})
