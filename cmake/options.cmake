# Language, warnings, visibility and output folders shared by every target, and the two switches
# that instrument the whole build (sanitizers; libFuzzer, which builds the fuzzers instead of the
# tests).

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
# Only what is marked for export leaves a module: the plug-in exports ModCreate alone.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
# Every program, module and runtime DLL in one folder, so the build folder runs as it is.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)

option(ORVELIN_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ORVELIN_FUZZ "Build the libFuzzer targets (clang) instead of the tests" OFF)
if(ORVELIN_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(ORVELIN_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                                 -Werror)
target_include_directories(project_options INTERFACE ${CMAKE_SOURCE_DIR})

# Header-only libraries from the system, reached through a folder of their own so that the
# cross compiler never sees the rest of the host's /usr/include.
set(ORVELIN_DEPS_INCLUDE ${CMAKE_BINARY_DIR}/deps/include)
file(MAKE_DIRECTORY ${ORVELIN_DEPS_INCLUDE})
foreach(dependency nlohmann CLI)
    if(NOT EXISTS /usr/include/${dependency})
        message(FATAL_ERROR "/usr/include/${dependency} is missing: run 'make deps'")
    endif()
    file(CREATE_LINK /usr/include/${dependency} ${ORVELIN_DEPS_INCLUDE}/${dependency} SYMBOLIC)
endforeach()
add_library(third_party INTERFACE)
target_include_directories(third_party SYSTEM INTERFACE ${ORVELIN_DEPS_INCLUDE})
