# The hardening flags Debian builds its packages with (dpkg-buildflags: fortified functions,
# stack protector, RELRO and immediate binding), so the programs this build packages are the ones
# it tests. The optimisation and debugging levels stay the build type's; a Debug build, which
# cannot fortify without optimisation, takes the compile and link flags without the preprocessor's.
# The source folder keeps its name in the objects (no -ffile-prefix-map, which is for builds of
# an archive's unpacked source): debuggers find the sources, and __FILE__ names the real file.
# FLASHTOOL_DEB_BUILD_FLAGS=OFF builds without them.
include_guard(GLOBAL)

find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT DPKG_BUILDFLAGS)
    return()
endif()

function(flashtool_deb_flags variable out)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${DPKG_BUILDFLAGS} --get ${variable}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "dpkg-buildflags --get ${variable}: ${result}")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(O.*|g|ffile-prefix-map=.*)$")
    set(${out} ${flags} PARENT_SCOPE)
endfunction()

flashtool_deb_flags(CPPFLAGS cppflags)
flashtool_deb_flags(CXXFLAGS cxxflags)
flashtool_deb_flags(LDFLAGS ldflags)
string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
if(build_type STREQUAL "DEBUG")
    list(FILTER cppflags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
endif()
add_compile_options(${cppflags} ${cxxflags})
add_link_options(${ldflags})
list(JOIN cppflags " " cpp_text)
list(JOIN cxxflags " " cxx_text)
list(JOIN ldflags " " ld_text)
message(STATUS "Debian build flags: ${cpp_text} ${cxx_text} ${ld_text}")
