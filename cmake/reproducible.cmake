# What makes two builds of one commit give the same bytes, in any folder and
# at any time:
# - VARNICK_SOURCE_DATE_EPOCH, the one time a build may carry: the
#   environment's SOURCE_DATE_EPOCH when set, else the last commit's time,
#   else (a source tarball without .git) the time of CMakeLists.txt, which
#   tar keeps. The linker stamps it into the programs' headers, and the
#   package step into the zip, the manifests and the version resource.
# - No build or source folder in what the compilers write.

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(VARNICK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  find_package(Git QUIET)
  set(commit_time "")
  if(GIT_FOUND AND EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/.git")
    execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
                    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
                    OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    # A new commit configures again, so that its time is the one taken.
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --symbolic-full-name HEAD
                    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
                    OUTPUT_VARIABLE head_ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    foreach(name HEAD packed-refs ${head_ref})
      execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --path-format=absolute --git-path "${name}"
                      WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
                      OUTPUT_VARIABLE git_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(git_file AND EXISTS "${git_file}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_file}")
      endif()
    endforeach()
  endif()
  if(commit_time MATCHES "^[0-9]+$")
    set(VARNICK_SOURCE_DATE_EPOCH "${commit_time}")
  else()
    file(TIMESTAMP "${CMAKE_CURRENT_SOURCE_DIR}/CMakeLists.txt" VARNICK_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
if(NOT VARNICK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be whole seconds since 1970, not "
                      "'${VARNICK_SOURCE_DATE_EPOCH}'")
endif()
# The year, for the version resource's copyright line.
set(ENV{SOURCE_DATE_EPOCH} "${VARNICK_SOURCE_DATE_EPOCH}")
string(TIMESTAMP VARNICK_SOURCE_YEAR "%Y" UTC)

if(MSVC)
  add_compile_options(/Brepro)
  add_link_options(/Brepro)
else()
  add_compile_options("-ffile-prefix-map=${CMAKE_CURRENT_SOURCE_DIR}/="
                      "-ffile-prefix-map=${CMAKE_CURRENT_BINARY_DIR}/=")
  # GNU ld stamps SOURCE_DATE_EPOCH into a PE header instead of the clock.
  set(CMAKE_CXX_LINKER_LAUNCHER "${CMAKE_COMMAND}" -E env
      "SOURCE_DATE_EPOCH=${VARNICK_SOURCE_DATE_EPOCH}")
endif()
