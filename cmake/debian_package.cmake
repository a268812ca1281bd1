# The Debian package: `cpack --preset default` (or `cpack -G DEB` in the
# build folder) packs what the install rules put in place, with the
# maintainer scripts of scripts/package that do the install-time steps.
# Library dependencies come from dpkg-shlibdeps; the programs the scripts
# and the service run are named here.

# The installed product version: the registry value ProductVer and the
# package's version.
set(VQ_PRODUCT_VERSION 1.0.1.0000)

set(VQ_PACKAGE_DOC_DIR /usr/share/doc/tarnwickgate)
install(FILES scripts/package/copyright DESTINATION ${VQ_PACKAGE_DOC_DIR})
# Debian keeps a package's change log compressed, without a time stamp in
# the gzip header.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/scripts/package/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/package/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${VQ_PACKAGE_DOC_DIR})

set(VQ_MAINTAINER_SCRIPTS)
foreach(script postinst prerm postrm)
  configure_file(scripts/package/${script}.in package/${script} @ONLY)
  list(APPEND VQ_MAINTAINER_SCRIPTS ${CMAKE_BINARY_DIR}/package/${script})
endforeach()

# install-adapter runs ip; the client application's Qt needs its platform
# plugins, which its libraries only recommend.
set(VQ_PACKAGE_DEPENDS "iproute2")
if(TARGET Marrowlantern)
  string(APPEND VQ_PACKAGE_DEPENDS ", qt6-qpa-plugins")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwickgate)
set(CPACK_PACKAGE_VERSION ${VQ_PRODUCT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarnwickgate")
set(CPACK_PACKAGE_CONTACT "Tarnwickgate developers <dev@tarnwickgate.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${VQ_PACKAGE_DEPENDS})
# The summary, then the extended text (CPack indents its lines).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "SSL VPN client suite
Connects to an SSL VPN gateway: a tunnel service that logs in over TLS,
negotiates keys, brings up a virtual network adapter with the routes and
name servers the gateway assigns and carries the traffic as encrypted
datagrams over UDP, and the client application, a tray program, that
drives it. The service runs under systemd where systemd runs, else under
its own supervisor.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${VQ_MAINTAINER_SCRIPTS})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
