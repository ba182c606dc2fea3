# cpack-version.cmake - read by cpack before it packages (CPACK_PROJECT_CONFIG_FILE): the
# package version is the one the last build described (cmake/describe.cmake), so a
# package's name and control file match what its programs' --version prints.
if(CPACK_TAPWATCHER_VERSION_FILE AND EXISTS "${CPACK_TAPWATCHER_VERSION_FILE}")
  include("${CPACK_TAPWATCHER_VERSION_FILE}")
  set(CPACK_PACKAGE_VERSION "${TAPWATCHER_BUILD_VERSION}")
  if(CPACK_TAPWATCHER_FILE_NAME)
    string(REPLACE "@VERSION@" "${TAPWATCHER_BUILD_VERSION}" CPACK_PACKAGE_FILE_NAME
           "${CPACK_TAPWATCHER_FILE_NAME}")
  endif()
endif()
