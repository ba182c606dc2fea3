# describe.cmake - the version and source revision of a build, run at every build with
#   cmake -DSOURCE_DIR=... -DOUTPUT_DIR=... -DPROJECT_VERSION=... -P describe.cmake
#
# Writes OUTPUT_DIR/tapwatcher_version.h (TAPWATCHER_VERSION, TAPWATCHER_REVISION) for
# the programs' --version and OUTPUT_DIR/tapwatcher_version.cmake (the same, for CPack),
# each only when its text changes, so an unchanged revision rebuilds nothing.
#
# In a git checkout (SOURCE_DIR is the top of its work tree):
#   revision  `git describe --always --dirty --abbrev=12` (a tag, or the commit, "-dirty"
#             for uncommitted changes)
#   version   from the newest tag vX.Y.Z: X.Y.Z on the tag itself, X.Y.Z+N.gHASH N commits
#             after it; with no such tag, PROJECT_VERSION+N.gHASH, N the commit count.
#             A Debian version either way, rising from commit to commit.
# Elsewhere (an unpacked source archive): PROJECT_VERSION, revision "unknown".
#
# With -DRC_TEMPLATE=... -DRC_OUTPUT=... (the Windows build) it also configures that
# resource script, again only when its text changes: @TAPWATCHER_RC_NUMBERS@ the four
# 16-bit numbers of FILEVERSION (X,Y,Z and the commits after the tag, 0 on it; above
# 65535 held at 65535, no leading zeros), @TAPWATCHER_RC_TEXT@ the text --version prints after the
# program's name, "VERSION (source revision REVISION)", quoted for a resource string.
set(version "${PROJECT_VERSION}")
set(revision "unknown")

find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --show-toplevel
    WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE top RESULT_VARIABLE rc
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
  endif()
  if(rc EQUAL 0 AND top STREQUAL source)
    execute_process(COMMAND "${GIT_EXECUTABLE}" describe --always --dirty --abbrev=12
      WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE revision
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND "${GIT_EXECUTABLE}" describe --tags --long --abbrev=12
      --match "v[0-9]*"
      WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE described RESULT_VARIABLE rc
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(rc EQUAL 0 AND described MATCHES "^v([0-9][0-9.]*)-([0-9]+)-g([0-9a-f]+)$")
      set(version "${CMAKE_MATCH_1}")
      if(NOT CMAKE_MATCH_2 EQUAL 0)
        string(APPEND version "+${CMAKE_MATCH_2}.g${CMAKE_MATCH_3}")
      endif()
    else()
      execute_process(COMMAND "${GIT_EXECUTABLE}" rev-list --count HEAD
        WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE count
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --short=12 HEAD
        WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE hash
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(count AND hash)
        string(APPEND version "+${count}.g${hash}")
      endif()
    endif()
    if(revision STREQUAL "")
      set(revision "unknown")
    endif()
  endif()
endif()

# Writes TEXT to OUTPUT_DIR/NAME unless it already holds it.
function(write_if_changed name text)
  set(path "${OUTPUT_DIR}/${name}")
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${text}")
endfunction()

write_if_changed(tapwatcher_version.h
  "// tapwatcher_version.h - made by cmake/describe.cmake at build time.\n#pragma once\n#define TAPWATCHER_VERSION \"${version}\"\n#define TAPWATCHER_REVISION \"${revision}\"\n")
write_if_changed(tapwatcher_version.cmake
  "# Made by cmake/describe.cmake at build time.\nset(TAPWATCHER_BUILD_VERSION \"${version}\")\nset(TAPWATCHER_BUILD_REVISION \"${revision}\")\n")

if(RC_TEMPLATE AND RC_OUTPUT)
  set(numbers 0 0 0 0)
  if(version MATCHES "^([0-9.]+)(\\+([0-9]+)\\.g)?")
    string(REPLACE "." ";" parts "${CMAKE_MATCH_1}")
    if(CMAKE_MATCH_3)
      set(commits "${CMAKE_MATCH_3}")
    else()
      set(commits 0)
    endif()
    set(numbers "")
    foreach(index RANGE 2)
      list(LENGTH parts count)
      set(part 0)
      if(index LESS count)
        list(GET parts ${index} part)
      endif()
      list(APPEND numbers "${part}")
    endforeach()
    list(APPEND numbers "${commits}")
  endif()
  set(held "")
  foreach(part IN LISTS numbers)
    if(part STREQUAL "")
      set(part 0)
    elseif(part GREATER 65535)
      set(part 65535)
    endif()
    math(EXPR part "${part}") # "010" as 10: windres would read it as octal
    list(APPEND held "${part}")
  endforeach()
  string(REPLACE ";" "," TAPWATCHER_RC_NUMBERS "${held}")
  set(TAPWATCHER_RC_TEXT "${version} (source revision ${revision})")
  string(REPLACE "\"" "\"\"" TAPWATCHER_RC_TEXT "${TAPWATCHER_RC_TEXT}")
  # configure_file leaves the output alone when its text is unchanged.
  configure_file("${RC_TEMPLATE}" "${RC_OUTPUT}" @ONLY)
endif()
