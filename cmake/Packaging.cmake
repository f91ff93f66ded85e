# What the installation adds to the targets' own rules (the systemd unit and
# the documentation), and the Debian package that carries it all:
#   cpack --config build/<dir>/CPackConfig.cmake   ->  ortavis-upgd_<version>_<arch>.deb
# The package installs under /usr, its unit under /lib/systemd/system.

ortavis_install_configured(${PROJECT_SOURCE_DIR}/packaging/ortavis-upgd.service.in
  "\${ORTAVIS_SYSTEMD_UNITDIR}")
install(FILES ${PROJECT_SOURCE_DIR}/docs/ortavis-upgd.md DESTINATION ${ORTAVIS_DOCDIR})
# The command-line tool's manual page; OPTIONAL while a tree lacks it.
install(FILES ${PROJECT_SOURCE_DIR}/docs/ortavis-upgctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  OPTIONAL)

set(ORTAVIS_PACKAGE_MAINTAINER "ortavis-upgd maintainers <ortavis-upgd@localhost>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ortavis-upgd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ORTAVIS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "guest tools upgrade daemon for libvirt/QEMU hosts")
# The install scripts run with the real prefix (/usr) and the staging
# directory as DESTDIR, so what is filled in at install time (the unit's
# ExecStart, the pkg-config file's paths) names /usr, not the staging area.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORTAVIS_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
ortavis-upgd runs as root on a libvirt/QEMU host and keeps the guest
tools inside its VMs up to date: it talks to each running VM's guest
channel, attaches upgrade ISOs to the VMs' CD-ROM drives with virsh,
paces upgrade runs and answers the host's management agent on a local
socket. The package also carries the command-line tool ortavis-upgctl,
the client library libortavis-upgclient with its C header and
pkg-config file, and a systemd unit (not enabled on installation).")
# libc6, libstdc++6 and libgcc-s1 as dpkg-shlibdeps finds them. virsh is a
# hard dependency: every attach and detach of an ISO, the guest agent probe
# and the domain-state check run it, so without it no upgrade can happen.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libvirt-clients")
# The client library's shlibs entry, and ldconfig after installation and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
