# Read by cpack for each generator: the archive is one component, the Debian
# packages are the others, grouped into host-programmer and
# host-programmer-agent; dpkg-shlibdeps looks up the libraries of the
# packages' own architecture.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL ${CPACK_HOST_DEB_COMPONENTS})
  # Each description's first line is its own summary; the files lie at the
  # root of the package.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
endif()
