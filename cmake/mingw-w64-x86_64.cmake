# Cross build for Windows x64 with Debian's mingw-w64 (posix thread model), run under Wine.
#
#   cmake -S . -B build-win-os -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVELLUMIX_OS_LAYER_ONLY=ON
#
# Programs are linked with the compiler's runtime statically, so a test program needs no DLL
# beside it; CTest runs them through scripts/wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELLUMIX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELLUMIX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELLUMIX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELLUMIX_MINGW_TRIPLET}-windres)

# Libraries and packages are looked for only in the mingw-w64 tree and in what is added with
# -DCMAKE_FIND_ROOT_PATH (a Qt built for Windows, for instance), never among the host's.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VELLUMIX_MINGW_TRIPLET})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Every program is one file: the compiler's runtime above, Qt (built static), and zlib for the
# update client (Debian's libz-mingw-w64-dev, which has both libz.a and the import library of
# zlib1.dll; without this the import library would be found first).
set(ZLIB_USE_STATIC_LIBS ON)

# Every program also gets mingw-thread-exit.cpp: GCC's emulated TLS would otherwise free a
# thread's thread_local storage before the destructors of the objects in it run (see there).
set(CMAKE_PROJECT_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/mingw-thread-exit.cmake)

get_filename_component(_vellumix_top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_vellumix_top}/scripts/wine-run.sh")
unset(_vellumix_top)
