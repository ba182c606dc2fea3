# install.cmake - what `cmake --install` puts where, and the Debian packages CPack makes
# of it. Included by the top CMakeLists.txt after the programs are defined.
#
#   bin/                                   tapwatcher-sim, tapwatcher-report
#                                          (tapwatcher-x11 where it was built)
#   share/man/man1/                        their manual pages
#   share/bash-completion/completions/     their bash completion
#   share/tapwatcher/examples/             scenarios, device profiles, a data file
#   share/doc/tapwatcher/                  README.md
#
# Components: "tapwatcher" (all of the above but the X11 program) and "x11"
# (tapwatcher-x11 and its page). `cpack -G DEB` from the build folder makes one package
# per component, tapwatcher_VERSION_ARCH.deb and tapwatcher-x11_VERSION_ARCH.deb, with
# dependencies from dpkg-shlibdeps: the X11 libraries only in the second.
#
# Choices: the completion goes into the bash-completion package's directory under the
# install prefix (its own completionsdir would ignore --prefix); the package version is
# read at packaging time from what the last build described (cmake/describe.cmake), so it
# is the version the packaged programs print.

set(TAPWATCHER_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
    CACHE STRING "Where bash completion scripts are installed, relative to the prefix")
set(TAPWATCHER_EXAMPLES_DIR "${CMAKE_INSTALL_DATADIR}/tapwatcher/examples")

# --- manual pages and completion, made from the option tables ----------------------
add_executable(clidoc tools/clidoc.cpp)
target_include_directories(clidoc PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/cli/common)
set_target_properties(clidoc PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)

set(TAPWATCHER_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(TAPWATCHER_COMPLETION_DIR ${CMAKE_BINARY_DIR}/completions)
set(TAPWATCHER_DOC_OUTPUTS)

# Makes PROGRAM's manual page (from docs/man/PROGRAM.1.in and its option table) and its
# completion script, and installs them, with the program, as part of COMPONENT.
function(tapwatcher_install_program program component)
  set(page ${TAPWATCHER_MAN_DIR}/${program}.1)
  set(page_template ${PROJECT_SOURCE_DIR}/docs/man/${program}.1.in)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAPWATCHER_MAN_DIR}
    COMMAND clidoc man ${program} ${page_template} ${page}
            VERSION=${PROJECT_VERSION} DATADIR=${CMAKE_INSTALL_FULL_DATADIR}
    DEPENDS clidoc ${page_template}
    COMMENT "Making the manual page ${program}.1")
  set(script ${TAPWATCHER_COMPLETION_DIR}/${program})
  add_custom_command(
    OUTPUT ${script}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAPWATCHER_COMPLETION_DIR}
    COMMAND clidoc bash ${program} ${script}
    DEPENDS clidoc
    COMMENT "Making the bash completion for ${program}")
  set(TAPWATCHER_DOC_OUTPUTS ${TAPWATCHER_DOC_OUTPUTS} ${page} ${script} PARENT_SCOPE)

  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  # The page names the examples folder as configured; an install under another prefix
  # (`--prefix DIR`, or CPack's /usr) gets its own path written into the installed copy.
  install(CODE "
    set(path \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1/${program}.1\")
    file(READ \"\${path}\" text)
    string(REPLACE \"${CMAKE_INSTALL_FULL_DATADIR}/tapwatcher/\"
           \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/tapwatcher/\" text \"\${text}\")
    file(WRITE \"\${path}\" \"\${text}\")" COMPONENT ${component})
  install(FILES ${script} DESTINATION ${TAPWATCHER_BASH_COMPLETION_DIR} COMPONENT ${component})
endfunction()

# --- install rules ---------------------------------------------------------------
tapwatcher_install_program(tapwatcher-sim tapwatcher)
tapwatcher_install_program(tapwatcher-report tapwatcher)
install(DIRECTORY examples/ DESTINATION ${TAPWATCHER_EXAMPLES_DIR} COMPONENT tapwatcher
        PATTERN ".git*" EXCLUDE)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tapwatcher)
# What the README links to: docs/ beside it, and examples/ as a link to the installed examples.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT tapwatcher
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "man" EXCLUDE)
file(RELATIVE_PATH TAPWATCHER_DOC_TO_EXAMPLES ${CMAKE_INSTALL_FULL_DOCDIR} ${CMAKE_INSTALL_FULL_DATADIR}/tapwatcher/examples)
install(CODE "file(CREATE_LINK ${TAPWATCHER_DOC_TO_EXAMPLES}
  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/examples\" SYMBOLIC)"
  COMPONENT tapwatcher)

# tapwatcher-x11, where it was built, is a package of its own: only it needs the X11
# libraries. Its page and completion come, like the others', from its option table
# (cli/x11/options.h) and its page (docs/man/tapwatcher-x11.1.in).
set(TAPWATCHER_COMPONENTS tapwatcher)
if(TARGET tapwatcher-x11)
  tapwatcher_install_program(tapwatcher-x11 x11)
  list(APPEND TAPWATCHER_COMPONENTS x11)
endif()
add_custom_target(tapwatcher_docs ALL DEPENDS ${TAPWATCHER_DOC_OUTPUTS})

# --- Debian packages ---------------------------------------------------------------
set(CPACK_PACKAGE_NAME tapwatcher)
set(CPACK_PACKAGE_VENDOR "Tapwatcher")
set(CPACK_PACKAGE_CONTACT "Tapwatcher developers <tapwatcher@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it before each component's own
# description, whose first line is that package's summary.
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL ${TAPWATCHER_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_TAPWATCHER_PACKAGE_NAME tapwatcher)
set(CPACK_DEBIAN_TAPWATCHER_DESCRIPTION
    "key and hot-key diagnostic tool for Windows CE handhelds, on a simulated device
Tapwatcher shows which keys and key combinations a Windows CE handheld delivers
to an application, press by press and release by release, and which combinations
the device keeps for itself.
.
tapwatcher-sim runs the tool's own code on a simulated Windows CE device, driven
by a scenario or the keyboard, and prints what a person holding the device would
see; tapwatcher-report reads a data file the tool saved on a real device, shows
the taken combinations, key timings and faults (stuck keys, chatter), and turns
it into a scenario that replays it. Examples are in /usr/share/tapwatcher.")
set(CPACK_DEBIAN_X11_PACKAGE_NAME tapwatcher-x11)
set(CPACK_DEBIAN_X11_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_X11_DESCRIPTION
    "key and hot-key diagnostic tool for Windows CE handhelds, on an X11 desktop
tapwatcher-x11 runs the Tapwatcher tool's own code on a Linux desktop: the keys
come from the X server, and the tool registers its hot keys there.")
# The version the last build described, read when cpack runs.
set(CPACK_TAPWATCHER_VERSION_FILE ${TAPWATCHER_GENERATED_DIR}/tapwatcher_version.cmake)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-version.cmake)
include(CPack)
