# The Windows build's programs run as they are from the build folder, under Wine: the shared C++
# runtime that loader, plug-in and programs have in common lies beside them, and every program
# that CTest starts goes through cmake/wine-run with the Wine prefix kept in the build folder.

foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${runtime_path}")
        find_file(runtime_path ${runtime} PATHS /usr/x86_64-w64-mingw32/lib NO_CACHE
                  NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    endif()
    file(COPY ${runtime_path} DESTINATION ${CMAKE_BINARY_DIR})
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run ${CMAKE_BINARY_DIR}/wine-prefix)
