# Installing host, and the release archive that operators unpack and run.
#
# cmake --install puts the programs off the PATH, in libexec/host-programmer:
# on Debian the name host on the PATH belongs to the DNS lookup tool.
# cpack makes host-<version>-windows-x64.zip (Windows build) or
# host-<version>-linux-<cpu>.tar.gz (Linux build): the stripped programs, the
# operator's README.txt and a sample tivConfig.txt, with a .sha256 beside it.
include(GNUInstallDirs)

if(WIN32)
  set(HOST_PROGRAMS host)
  set(HOST_PLATFORM windows-x64)
  set(HOST_PLATFORM_NAME "Windows (x64)")
  set(HOST_CONFIG_SAMPLE ${CMAKE_CURRENT_LIST_DIR}/tivConfig-windows.txt)
  set(CPACK_GENERATOR ZIP)
  set(HOST_INSTALL_DIR ${CMAKE_INSTALL_BINDIR})
  set(HOST_PROGRAM host.exe)
  set(HOST_CONTENTS "  host.exe          the programmer")
  set(HOST_RUN "Open a command window (Start, type cmd, Enter), go to the folder that holds
tivConfig.txt, and run host.exe with its full path or from this folder:")
  set(HOST_EXAMPLE "host.exe COM8 001122334455")
  set(HOST_PORT_NAME "COM8, COM12, ...")
  set(HOST_PORT "Open Device Manager (right-click Start, Device Manager) and expand
\"Ports (COM & LPT)\". The adapter shows there with its port in brackets, for
example \"USB Serial Port (COM8)\". Unplug it and plug it back to see which
entry it is. Ports above COM9 work as well.")
  set(HOST_PERMISSION "Windows refused it for another reason.")
  set(HOST_NEEDS "host.exe needs nothing but 64-bit Windows.")
  set(HOST_CONFIG_NOTES "
Save tivConfig.txt as ANSI, not UTF-8 (a path with a letter such as o-umlaut
saved as UTF-8 names another file: File error), without a byte-order mark
(Could not find board data file), and with no quotes around a path
(Explorer's \"Copy as path\" adds them: File error).
")
  set(HOST_HELD "Windows refuses a second program on a
port, and host then prints \"Unable to Open serial port\".")
  set(HOST_NOT_A_PORT "")
else()
  set(HOST_PROGRAMS host agent)
  if(TARGET station)
    list(APPEND HOST_PROGRAMS station)
  endif()
  set(HOST_PLATFORM linux-${CMAKE_SYSTEM_PROCESSOR})
  set(HOST_PLATFORM_NAME "Linux (${CMAKE_SYSTEM_PROCESSOR})")
  set(HOST_CONFIG_SAMPLE ${CMAKE_CURRENT_LIST_DIR}/tivConfig-linux.txt)
  set(CPACK_GENERATOR TGZ)
  set(HOST_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/host-programmer)
  set(HOST_PROGRAM ./host)
  set(HOST_CONTENTS "  host              the programmer
  agent             a simulated flash agent, to try host without a board
                    (./agent --help)")
  if(TARGET station)
    string(APPEND HOST_CONTENTS "
  station           programs many fixtures at once and records every board
                    (./station --help; README.md beside this file is its
                    guide)")
  endif()
  set(HOST_RUN "In a terminal, go to the folder that holds tivConfig.txt and run host by
its path (the name host alone is the DNS lookup tool on many systems; from
the Debian package host-programmer, host is
/usr/libexec/host-programmer/host, and the station /usr/bin/station finds it
there):")
  set(HOST_EXAMPLE "./host /dev/ttyUSB0 001122334455")
  set(HOST_PORT_NAME "/dev/ttyUSB0; COM1 for /dev/ttyS0")
  set(HOST_PORT "USB adapters show in /dev/serial/by-id/ under a name that says what they
are; that name stays the same from one plug-in to the next. Otherwise run
\"dmesg | tail\" right after plugging the adapter in: it names the new port
(ttyUSB0, ttyACM0). COM<n> stands for /dev/ttyS<n-1>; any other name without
a slash for /dev/<name>.")
  set(HOST_PERMISSION "you may not use it: add yourself to the dialout group
      (sudo adduser $USER dialout), then log out and in again.")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm)")
    set(HOST_NEEDS "host and agent need the GNU C library 2.36 or later (Debian 12,
Raspberry Pi OS 12 and later); the C++ library is built in.")
  else()
    set(HOST_NEEDS "host and agent need the GNU C library 2.34 or later and the C++ library
of GCC 12 or later (Debian 12, Ubuntu 22.04 and later).")
  endif()
  if(TARGET station)
    string(APPEND HOST_NEEDS "
station also needs SQLite 3, libpq 5, toml++ 3, OpenSSL 3's libcrypto,
libmicrohttpd 12 and libcups 2, and on x86_64 libzint 2.11 (on Debian 12: apt
install libsqlite3-0 libpq5 libtomlplusplus3 libssl3 libmicrohttpd12 libcups2
libzint2.11).")
  endif()
  set(HOST_CONFIG_NOTES "")
  set(HOST_HELD "a program that opened the port without
asking for exclusive access (a terminal program, a script) is not detected,
and both then read the board's answers. ModemManager and brltty often open
USB serial adapters as they appear. \"fuser -v /dev/ttyUSB0\" or
\"lsof /dev/ttyUSB0\" shows who holds a port; \"sudo systemctl stop
ModemManager\" and \"sudo apt remove brltty\" keep them off it.")
  set(HOST_NOT_A_PORT "
      A device that is no serial port at all (such as /dev/null) reports
      \" serial port does not exist \".")
endif()

# The texts as the platform writes them: CR LF on Windows (Notepad and host
# alike read it), LF elsewhere.
function(write_platform_text source destination)
  file(READ ${source} content)
  if(WIN32)
    string(REPLACE "\n" "\r\n" content "${content}")
  endif()
  file(WRITE ${destination} "${content}")
endfunction()

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${HOST_CONFIG_SAMPLE})
# The sample, indented, for the operator's text.
file(READ ${HOST_CONFIG_SAMPLE} HOST_CONFIG)
string(STRIP "${HOST_CONFIG}" HOST_CONFIG)
string(REPLACE "\n" "\n  " HOST_CONFIG "  ${HOST_CONFIG}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt.in ${CMAKE_BINARY_DIR}/README.txt.lf @ONLY)
write_platform_text(${CMAKE_BINARY_DIR}/README.txt.lf ${CMAKE_BINARY_DIR}/README.txt)
write_platform_text(${HOST_CONFIG_SAMPLE} ${CMAKE_BINARY_DIR}/tivConfig.txt)

# The programs off the PATH but station, whose name no Debian package takes;
# the agent in a component of its own (a package for test benches).
function(install_program program destination component)
  install(TARGETS ${program} RUNTIME DESTINATION ${destination} COMPONENT ${component})
  # Installed as the archives carry them: stripped.
  if(NOT WIN32 AND CMAKE_STRIP)
    install(CODE "execute_process(COMMAND ${CMAKE_STRIP}
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${program}>\"
                  COMMAND_ERROR_IS_FATAL ANY)" COMPONENT ${component})
  endif()
endfunction()
install_program(host ${HOST_INSTALL_DIR} tool)
if(TARGET agent)
  install_program(agent ${HOST_INSTALL_DIR} agent)
endif()
if(TARGET station)
  install_program(station ${CMAKE_INSTALL_BINDIR} tool)
endif()
# The operator's text and the sample configuration in the documentation
# folder.
install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/tivConfig.txt
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/host-programmer COMPONENT tool)
install(TARGETS ${HOST_PROGRAMS} RUNTIME DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/tivConfig.txt DESTINATION .
        COMPONENT archive EXCLUDE_FROM_ALL)
# The station's guide goes with the station.
if(TARGET station)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/host-programmer COMPONENT tool)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL archive)
set(CPACK_PACKAGE_FILE_NAME host-${PROJECT_VERSION}-${HOST_PLATFORM})
set(CPACK_ARCHIVE_ARCHIVE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(NOT WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
endif()
include(CPack)
