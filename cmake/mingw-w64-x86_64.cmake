# Cross-building for Windows x86_64 with Debian's MinGW-w64, the posix-threads
# variant (the one the Qt kit was built with): scripts/build-windows passes it
# as CMAKE_TOOLCHAIN_FILE, with the kit's opt/qt5-mingw in CMAKE_PREFIX_PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZANROK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZANROK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZANROK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZANROK_MINGW_TRIPLET}-windres)

# The kit lies outside the MinGW sysroot, so packages, libraries and headers
# are looked for in both; programs (moc, rcc) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${ZANROK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
