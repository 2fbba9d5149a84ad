# Writes the release zip again, from the files CPack staged, with
# packaging/write_zip.py: CPack's ZIP generator stamps each entry with its
# file's time, so two builds of the same commit would differ. CPack runs this
# first of its post-build scripts, before it copies the zip out and writes
# its checksum; the manifests and npm packages that follow see this zip.

include("${CMAKE_CURRENT_LIST_DIR}/release_zip.cmake")
if(zip STREQUAL "")
  return()
endif()
string(REGEX REPLACE "\\.zip$" "" top_folder "${CPACK_VARNICK_RELEASE_ZIP}")
execute_process(
  COMMAND "${CPACK_VARNICK_PYTHON}" "${CPACK_VARNICK_TEMPLATES}/write_zip.py"
          "${CPACK_TEMPORARY_DIRECTORY}" "${top_folder}" "${zip}" "${CPACK_VARNICK_SOURCE_DATE_EPOCH}"
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "Writing ${zip} failed (${failed})")
endif()
