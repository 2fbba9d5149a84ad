# Sets `zip` to the release zip among the packages CPack has just made
# (CPACK_PACKAGE_FILES), or to "" when there is none: the source package
# runs the same post-build scripts and makes no release zip.
set(zip "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(package_name "${package}" NAME)
  if(package_name STREQUAL CPACK_VARNICK_RELEASE_ZIP)
    set(zip "${package}")
  endif()
endforeach()
