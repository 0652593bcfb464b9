# Included at the end of every project() of the mingw-w64 cross build (CMAKE_PROJECT_INCLUDE of
# cmake/mingw-w64-x86_64.cmake): links mingw-thread-exit.cpp, the fix of the order in which a
# thread's thread_local objects are destroyed and their storage is freed, into every program
# that the project builds after this point. Not in CMake's own test projects, nor in projects
# without C++.
if(PROJECT_NAME STREQUAL "CMAKE_TRY_COMPILE" OR NOT CMAKE_CXX_COMPILER_LOADED
   OR TARGET vellumix_mingw_thread_exit)
    return()
endif()
add_library(vellumix_mingw_thread_exit OBJECT ${CMAKE_CURRENT_LIST_DIR}/mingw-thread-exit.cpp)
link_libraries(vellumix_mingw_thread_exit)
