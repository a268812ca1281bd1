# The suite's files in the system's own places, outside the install folder:
# the tunnel service's systemd unit, the run folder's tmpfiles.d entry and
# the client application's desktop entry. Their paths are absolute (DESTDIR
# stages them with the rest); the texts name the install folder the build
# was configured with.
set(VQ_PREFIX "${CMAKE_INSTALL_PREFIX}")
# The virtual adapter the package installs and the unit keeps in place.
set(VQ_ADAPTER_NAME vqtun0)

configure_file(scripts/package/marrowlantern.service.in marrowlantern.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/marrowlantern.service DESTINATION /lib/systemd/system)
install(FILES scripts/tarnwickgate.tmpfiles DESTINATION /usr/lib/tmpfiles.d RENAME tarnwickgate.conf)

if(TARGET Marrowlantern)
  configure_file(scripts/package/marrowlantern.desktop.in marrowlantern.desktop @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/marrowlantern.desktop DESTINATION /usr/share/applications)
endif()
