# What the Windows programs share: a version resource naming the release
# (6.2017.1) in each, and static linking, so that a program needs no DLL but
# Windows' own. Add a program's resource with
#   libupgrade_windows_resource(<target> "<description>")
enable_language(RC)
string(REPLACE "." "," LIBUPGRADE_RC_VERSION "${LIBUPGRADE_RELEASE},0")

function(libupgrade_windows_resource target description)
  set(LIBUPGRADE_RC_NAME ${target})
  set(LIBUPGRADE_RC_FILE ${target}.exe)
  set(LIBUPGRADE_RC_DESCRIPTION "${description}")
  set(_rc ${PROJECT_BINARY_DIR}/generated/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${_rc} @ONLY)
  target_sources(${target} PRIVATE ${_rc})
endfunction()

# Windows' headers without min and max macros, and the Unicode (W) forms
# only where a unit asks for them by name.
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN)
set(LIBUPGRADE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree, built for the Windows suites")

# GCC 12 reports -Wrestrict inside std::string's copies where none can
# overlap (GCC bug 105329), more often for 32-bit targets: a false positive.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()
