# The Debian packages, beside the archive: host-programmer (host, the station
# and the web view's service) and host-programmer-agent (the simulated agent,
# for test benches). Their dependencies are found by dpkg-shlibdeps from the
# programs' own libraries, for the architecture they are built for.
set(HOST_DEB_DOC ${CMAKE_INSTALL_DATAROOTDIR}/doc)

# The changelog's newest entry is this release: a new version needs its entry.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog HOST_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT HOST_CHANGELOG_TOP MATCHES "^host-programmer \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: its first entry is not release ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
# Compressed as Debian wants it: gzip -9, without a name or a time in it.
find_program(GZIP gzip REQUIRED)
function(debian_gzip source name)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.gz
                     COMMAND ${GZIP} -9nc ${source} > ${name}.gz
                     DEPENDS ${source}
                     WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  add_custom_target(debian_${name} ALL DEPENDS ${CMAKE_BINARY_DIR}/${name}.gz)
endfunction()
debian_gzip(${CMAKE_CURRENT_LIST_DIR}/changelog changelog)
# The station's manual page, with its release.
configure_file(${CMAKE_CURRENT_LIST_DIR}/station.1.in ${CMAKE_BINARY_DIR}/station.1 @ONLY)
debian_gzip(${CMAKE_BINARY_DIR}/station.1 station.1)

# What only the packages carry (not `cmake --install`): each package's
# copyright and changelog, the sample station file and the service's unit.
foreach(package_component host-programmer:tool_debian host-programmer-agent:agent_debian)
  string(REPLACE ":" ";" package_component ${package_component})
  list(GET package_component 0 package)
  list(GET package_component 1 component)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
          DESTINATION ${HOST_DEB_DOC}/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
if(TARGET station)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/station.toml
          DESTINATION ${HOST_DEB_DOC}/host-programmer/examples COMPONENT tool_debian
          EXCLUDE_FROM_ALL)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/station-serve@.service DESTINATION /lib/systemd/system
          COMPONENT tool_debian EXCLUDE_FROM_ALL)
  install(FILES ${CMAKE_BINARY_DIR}/station.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT tool_debian EXCLUDE_FROM_ALL)
  install(DIRECTORY DESTINATION /etc/station COMPONENT tool_debian EXCLUDE_FROM_ALL)
endif()

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(HOST_DEB_ARCH amd64)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(HOST_DEB_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(HOST_DEB_ARCH armhf)
else()
  string(TOLOWER ${CMAKE_SYSTEM_PROCESSOR} HOST_DEB_ARCH)
endif()

set(CPACK_GENERATOR "TGZ;DEB")
# The archive takes the archive component; the packages theirs
# (debian_options.cmake, read by cpack for each generator).
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/debian_options.cmake)
# (cpack passes on only CPACK_ variables to that file)
set(CPACK_HOST_DEB_COMPONENTS tool tool_debian agent agent_debian)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENT_TOOL_GROUP host-programmer)
set(CPACK_COMPONENT_TOOL_DEBIAN_GROUP host-programmer)
set(CPACK_COMPONENT_AGENT_GROUP host-programmer-agent)
set(CPACK_COMPONENT_AGENT_DEBIAN_GROUP host-programmer-agent)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${HOST_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "the maintainers of host <maintainers@users.noreply.c-seed-3a74746d.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE host-programmer)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_HOST-PROGRAMMER_PACKAGE_NAME host-programmer)
set(CPACK_DEBIAN_HOST-PROGRAMMER_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_HOST-PROGRAMMER_DESCRIPTION
"serial programmer for the board's flash agent, and its production station
host writes three images (board data, OTP and firmware) into a target board
over a serial line, talking to the board's flash agent in fixed-size request
and response frames. The station programs many fixtures at once, one host
each, and records every board in SQLite or PostgreSQL; station-serve@.service
serves the line's live web view from that record.")
# adduser makes the web view's user.
set(CPACK_DEBIAN_HOST-PROGRAMMER_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_HOST-PROGRAMMER_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/deb/postinst ${CMAKE_CURRENT_LIST_DIR}/deb/postrm)
set(CPACK_DEBIAN_HOST-PROGRAMMER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_HOST-PROGRAMMER-AGENT_PACKAGE_NAME host-programmer-agent)
set(CPACK_DEBIAN_HOST-PROGRAMMER-AGENT_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_HOST-PROGRAMMER-AGENT_DESCRIPTION
"simulated flash agent, to try host and the station without a board
The agent answers host's frames as the board's flash agent does, on a
pseudo-terminal or a serial port, keeps the images it received, and can be
paced like a real line or made to fail on a chosen frame, for test benches.")
