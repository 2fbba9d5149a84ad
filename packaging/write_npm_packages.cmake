# Makes the two npm packages beside the release zip, with the zip's version,
# as the .tgz files that `npm pack` writes: varnick-session (the launcher,
# the API and its types, with an optional dependency on the next one) and
# varnick-session-win32-x64 (both programs, as the zip holds them, and their
# SHA-256 sums). CPack runs this as a post-build script, after the zip.

set(staged "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT EXISTS "${staged}/varnick-session.exe")
  message(STATUS "No programs staged in ${staged}: no npm packages written")
  return()
endif()
find_program(npm_program npm)
if(NOT npm_program)
  message(FATAL_ERROR "npm is needed for the npm packages (Node 18 or later)")
endif()
set(version "${CPACK_PACKAGE_VERSION}")
set(platform_name "varnick-session-win32-x64")
set(stage "${CPACK_PACKAGE_DIRECTORY}/npm")
file(REMOVE_RECURSE "${stage}")

# The main package: the source tree's, with the version and its platform
# package at the same version.
file(COPY "${CPACK_VARNICK_NODE_SOURCE}/varnick-session" DESTINATION "${stage}")
file(READ "${stage}/varnick-session/package.json" main_json)
string(JSON main_json SET "${main_json}" version "\"${version}\"")
string(JSON main_json SET "${main_json}" optionalDependencies "{\"${platform_name}\": \"${version}\"}")
file(WRITE "${stage}/varnick-session/package.json" "${main_json}\n")

# The platform package: both programs, their sums, and nothing else.
set(platform "${stage}/${platform_name}")
file(MAKE_DIRECTORY "${platform}")
set(sums "")
foreach(program varnick.exe varnick-session.exe)
  file(COPY "${staged}/${program}" DESTINATION "${platform}")
  file(SHA256 "${platform}/${program}" sum)
  string(APPEND sums "${sum}  ${program}\n")
endforeach()
file(WRITE "${platform}/SHA256SUMS" "${sums}")
file(WRITE "${platform}/package.json" "{
  \"name\": \"${platform_name}\",
  \"version\": \"${version}\",
  \"description\": \"varnick.exe and varnick-session.exe for the varnick-session package (Windows x64)\",
  \"license\": \"UNLICENSED\",
  \"os\": [\"win32\"],
  \"cpu\": [\"x64\"],
  \"files\": [\"varnick.exe\", \"varnick-session.exe\", \"SHA256SUMS\"]
}
")

foreach(package varnick-session ${platform_name})
  execute_process(
    COMMAND "${npm_program}" pack --silent --pack-destination "${CPACK_PACKAGE_DIRECTORY}"
    WORKING_DIRECTORY "${stage}/${package}"
    RESULT_VARIABLE packed
    OUTPUT_VARIABLE written)
  if(NOT packed EQUAL 0)
    message(FATAL_ERROR "npm pack of ${package} failed (${packed})")
  endif()
  string(STRIP "${written}" written)
  message(STATUS "npm package: ${CPACK_PACKAGE_DIRECTORY}/${written}")
endforeach()
