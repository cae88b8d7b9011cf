# The release the upgrade brings a database to, this build's own version and
# commit, in a generated header (libupgrade/version.h) for the programs'
# --version; the package takes its version from the release.
set(LIBUPGRADE_RELEASE 6.2017.1)

set(LIBUPGRADE_COMMIT unknown)
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE _commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _git_result ERROR_QUIET)
  if(_git_result EQUAL 0 AND _commit)
    set(LIBUPGRADE_COMMIT ${_commit})
  endif()
  # A new commit configures again, so --version never names an older one.
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE _git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(_git_dir AND EXISTS ${_git_dir}/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_git_dir}/logs/HEAD)
  endif()
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
               ${PROJECT_BINARY_DIR}/generated/libupgrade/version.h @ONLY)
add_library(libupgrade_version INTERFACE)
target_include_directories(libupgrade_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
