# The version is one fact: the project's VERSION in CMakeLists.txt. From it (with the project's
# DESCRIPTION and ORVELIN_AUTHORS) come the header the code reads, and on Windows each built
# file's version resource, which Explorer, mod managers and crash dumps show.

configure_file(${CMAKE_SOURCE_DIR}/cmake/version.hpp.in
               ${CMAKE_BINARY_DIR}/generated/orvelin_version.hpp @ONLY)
target_include_directories(project_options INTERFACE ${CMAKE_BINARY_DIR}/generated)

# orvelin_version_resource(TARGET "File description"): the target's Windows version resource.
function(orvelin_version_resource target description)
    if(NOT WIN32)
        return()
    endif()
    set(ORVELIN_TARGET ${target})
    set(ORVELIN_FILE_DESCRIPTION ${description})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        set(ORVELIN_FILE_TYPE VFT_APP)
    else()
        set(ORVELIN_FILE_TYPE VFT_DLL)
    endif()
    set(configured ${CMAKE_BINARY_DIR}/generated/${target}.rc.in)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${configured} @ONLY)
    # The file's own name is known only at generation time.
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/generated/${target}.rc INPUT ${configured})
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated/${target}.rc)
endfunction()
