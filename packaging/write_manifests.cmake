# Writes the winget and Scoop manifests for the release zip that CPack has
# just made. CPack runs this as a post-build script (CPACK_POST_BUILD_SCRIPTS),
# so CPACK_PACKAGE_FILES names the zip and every CPACK_* variable of
# CMakeLists.txt is set. The manifests carry the zip's SHA-256, so they can
# only be written here, after the zip exists.

# The source package shares this script through CPackSourceConfig.cmake: the
# manifests are written only when CPack has made the release zip itself.
include("${CMAKE_CURRENT_LIST_DIR}/release_zip.cmake")
if(zip STREQUAL "")
  message(STATUS "No ${CPACK_VARNICK_RELEASE_ZIP} among ${CPACK_PACKAGE_FILES}: no manifests written")
  return()
endif()
set(zip_name "${CPACK_VARNICK_RELEASE_ZIP}")
# Manifests that point at the placeholder download nothing that users could
# install: fine for a build here, never for a release.
if(CPACK_VARNICK_RELEASE_URL_BASE MATCHES "example\\.invalid")
  message(WARNING "VARNICK_RELEASE_URL_BASE is still the placeholder "
                  "${CPACK_VARNICK_RELEASE_URL_BASE}: these manifests are not for a release. "
                  "Configure with -DVARNICK_RELEASE_URL_BASE=https://... for one.")
endif()
file(SHA256 "${zip}" zip_sha256)
string(TOUPPER "${zip_sha256}" zip_sha256_upper)

set(version "${CPACK_PACKAGE_VERSION}")
# winget's ReleaseDate: the day of the source's last commit, YYYY-MM-DD in
# UTC (CMake takes SOURCE_DATE_EPOCH instead of the clock when it is set).
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_VARNICK_SOURCE_DATE_EPOCH}")
string(TIMESTAMP release_date "%Y-%m-%d" UTC)
# The zip holds one folder named like the zip itself.
string(REGEX REPLACE "\\.zip$" "" top_folder "${zip_name}")
string(REGEX REPLACE "/+$" "" url_base "${CPACK_VARNICK_RELEASE_URL_BASE}")
set(zip_url "${url_base}/v${version}/${zip_name}")

# Scoop's autoupdate finds a later release by the same names, with $version
# standing for the version, and checkver by the zip's name on the home page.
string(REPLACE "${version}" "$version" zip_url_pattern "${zip_url}")
string(REPLACE "${version}" "$version" top_folder_pattern "${top_folder}")
string(REPLACE "." "\\." zip_name_regex "${zip_name}")
string(REPLACE "." "\\." version_regex "${version}")
string(REPLACE "${version_regex}" "([\\d.]+)" zip_name_regex "${zip_name_regex}")

# Free text goes into both formats as a double-quoted string: JSON's escapes
# are also YAML's.
function(quote out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()
quote(publisher_quoted "${CPACK_VARNICK_PUBLISHER}")
quote(license_quoted "${CPACK_VARNICK_LICENSE}")
quote(description_quoted "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}")
quote(zip_name_regex_quoted "${zip_name_regex}")

# A winget identifier is <publisher>.<package>, each part without spaces or dots.
string(REGEX REPLACE "[^A-Za-z0-9_-]" "" publisher_id "${CPACK_VARNICK_PUBLISHER}")
set(package_id "${publisher_id}.Varnick")

set(winget_dir "${CPACK_VARNICK_MANIFEST_DIR}/winget")
# winget reads every manifest in the folder; one left by an earlier
# identifier would make the set invalid.
file(REMOVE_RECURSE "${winget_dir}")
set(templates "${CPACK_VARNICK_TEMPLATES}")
configure_file("${templates}/winget/version.yaml.in" "${winget_dir}/${package_id}.yaml" @ONLY)
configure_file("${templates}/winget/installer.yaml.in" "${winget_dir}/${package_id}.installer.yaml"
               @ONLY)
configure_file("${templates}/winget/locale.en-US.yaml.in"
               "${winget_dir}/${package_id}.locale.en-US.yaml" @ONLY)
configure_file("${templates}/scoop/varnick.json.in" "${CPACK_VARNICK_MANIFEST_DIR}/scoop/varnick.json"
               @ONLY)
message(STATUS "Manifests for ${zip_name} written to ${CPACK_VARNICK_MANIFEST_DIR}")
