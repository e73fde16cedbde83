# GoogleTest from Debian's sources (the googletest package), built with the including project's
# compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# GoogleTest's own sources do not build clean under -Werror with this compiler.
foreach(target gtest gtest_main gmock gmock_main)
    if(TARGET ${target})
        target_compile_options(${target} PRIVATE -Wno-error)
    endif()
endforeach()
