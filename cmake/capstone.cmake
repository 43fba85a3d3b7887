# Capstone, the x86-64 decoder orvelin-scan makes signatures with, built from its sources as a
# static library in every build: the Linux and Windows tools then decode the same way. The sources
# are fetched once into build/ (scripts/fetch-capstone) and shared by the presets.

set(ORVELIN_CAPSTONE_SOURCE ${CMAKE_SOURCE_DIR}/build/capstone-src CACHE PATH
    "Capstone's C sources with their CMake build")
if(NOT EXISTS ${ORVELIN_CAPSTONE_SOURCE}/CMakeLists.txt)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-capstone ${ORVELIN_CAPSTONE_SOURCE}
                    RESULT_VARIABLE fetched)
    if(NOT fetched EQUAL 0)
        message(FATAL_ERROR "Capstone's sources could not be fetched into ${ORVELIN_CAPSTONE_SOURCE}")
    endif()
endif()

enable_language(C)
set(CAPSTONE_ARCHITECTURE_DEFAULT OFF CACHE BOOL "" FORCE)
set(CAPSTONE_X86_SUPPORT ON CACHE BOOL "" FORCE)
set(CAPSTONE_BUILD_STATIC ON CACHE BOOL "" FORCE)
set(CAPSTONE_BUILD_SHARED OFF CACHE BOOL "" FORCE)
set(CAPSTONE_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(CAPSTONE_BUILD_CSTOOL OFF CACHE BOOL "" FORCE)
set(CAPSTONE_INSTALL OFF CACHE BOOL "" FORCE)
# Its build is older than this project's CMake: keep its deprecation notices out of ours.
set(CMAKE_WARN_DEPRECATED OFF CACHE BOOL "" FORCE)
set(CMAKE_POLICY_DEFAULT_CMP0077 NEW)
set(CMAKE_POLICY_DEFAULT_CMP0048 OLD)
add_subdirectory(${ORVELIN_CAPSTONE_SOURCE} ${CMAKE_BINARY_DIR}/capstone EXCLUDE_FROM_ALL SYSTEM)
target_include_directories(capstone-static SYSTEM INTERFACE ${ORVELIN_CAPSTONE_SOURCE}/include)
# The fuzzers explore this project's handling of what the decoder reports, not the decoder: its
# own code without coverage feedback decodes several times faster under the fuzzer.
if(ORVELIN_FUZZ)
    target_compile_options(capstone-static PRIVATE -fno-sanitize=fuzzer-no-link)
endif()
