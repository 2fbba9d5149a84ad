# Makes the two npm packages beside the release zip, with the zip's version,
# as the .tgz files that `npm pack` writes: varnick-session (the launcher,
# the API and its types, with an optional dependency on the next one) and
# varnick-session-win32-x64 (both programs, as the zip holds them, and their
# SHA-256 sums). CPack runs this as a post-build script, after the zip; the
# work is write_npm_packages.mjs's, since Node keeps package.json's keys in
# their order where CMake's JSON functions sort them.

set(staged "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT EXISTS "${staged}/varnick-session.exe")
  message(STATUS "No programs staged in ${staged}: no npm packages written")
  return()
endif()
find_program(node_program node)
find_program(npm_program npm)
if(NOT node_program OR NOT npm_program)
  message(FATAL_ERROR "Node and npm are needed for the npm packages (Node 18 or later)")
endif()
execute_process(
  COMMAND "${node_program}" "${CMAKE_CURRENT_LIST_DIR}/write_npm_packages.mjs"
          --platform win32-x64
          --version "${CPACK_PACKAGE_VERSION}"
          --programs "${staged}"
          --out "${CPACK_PACKAGE_DIRECTORY}"
          --homepage "${CPACK_VARNICK_HOMEPAGE}"
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "The npm packages were not written (${failed})")
endif()
