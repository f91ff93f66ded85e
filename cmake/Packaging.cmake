# What the installation adds to the targets' own rules (the systemd unit, the
# documentation and the manual pages), and the Debian packages that carry it
# all, split as Debian splits a daemon with a library:
#   ortavis-upgd              the daemon, ortavis-upgctl, the unit, the docs
#   libortavis-upgclient0     the client library's shared object
#   libortavis-upgclient-dev  its .so link, headers and pkg-config file
#   cpack --config build/<dir>/CPackConfig.cmake   ->  three .deb files
# The packages install under /usr, the unit under /lib/systemd/system. The
# daemon's package enables and starts the unit on installation, restarts it on
# upgrade and stops it on removal (packaging/debian/post*, prerm).

ortavis_install_configured(${PROJECT_SOURCE_DIR}/packaging/ortavis-upgd.service.in
  "\${ORTAVIS_SYSTEMD_UNITDIR}")
install(FILES ${PROJECT_SOURCE_DIR}/docs/ortavis-upgd.md DESTINATION ${ORTAVIS_DOCDIR})

# Manual pages and changelogs are installed compressed, as Debian wants them
# (gzip -n: no name or time stamp, so a rebuild gives the same bytes).
set(ORTAVIS_MAINTAINER_DEFAULT "ortavis-upgd maintainers <upgd-maintainers@ortavis.example>")
set(ORTAVIS_PACKAGE_MAINTAINER "${ORTAVIS_MAINTAINER_DEFAULT}"
  CACHE STRING "Maintainer field of the Debian packages (name <address>)")
if(ORTAVIS_PACKAGE_MAINTAINER MATCHES "@localhost>$")   # the placeholder of older build trees
  set(ORTAVIS_PACKAGE_MAINTAINER "${ORTAVIS_MAINTAINER_DEFAULT}" CACHE STRING "" FORCE)
endif()
set(gz_dir ${CMAKE_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${gz_dir}/changelog @ONLY)
set(gz_files)
foreach(src docs/ortavis-upgctl.1 docs/ortavis-upgd.8 BUILD:changelog)
  if(src MATCHES "^BUILD:(.*)")
    set(in ${gz_dir}/${CMAKE_MATCH_1})
  else()
    set(in ${PROJECT_SOURCE_DIR}/${src})
  endif()
  get_filename_component(name ${in} NAME)
  add_custom_command(OUTPUT ${gz_dir}/${name}.gz
    COMMAND gzip -9n -c ${in} > ${gz_dir}/${name}.gz
    DEPENDS ${in} VERBATIM)
  list(APPEND gz_files ${gz_dir}/${name}.gz)
endforeach()
add_custom_target(compressed-docs ALL DEPENDS ${gz_files})
install(FILES ${gz_dir}/ortavis-upgctl.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${gz_dir}/ortavis-upgd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# Each package carries its copyright and changelog in its own doc directory.
foreach(pair daemon:ortavis-upgd lib:libortavis-upgclient0 dev:libortavis-upgclient-dev)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${gz_dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ortavis-upgd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ORTAVIS_PACKAGE_MAINTAINER}")
# The install scripts run with the real prefix (/usr) and the staging
# directory as DESTDIR, so what is filled in at install time (the unit's
# ExecStart, the pkg-config file's paths) names /usr, not the staging area.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon lib dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORTAVIS_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool needs the library of the package beside it, which is not yet
# installed when the packages are made.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/client)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME ortavis-upgd)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
# virsh is a hard dependency: every attach and detach of an ISO, the guest
# agent probe and the domain-state check run it.
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "libvirt-clients")
set(CPACK_COMPONENT_DAEMON_DEPENDS lib)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_COMPONENT_DAEMON_DESCRIPTION "guest tools upgrade daemon for libvirt/QEMU hosts
ortavis-upgd runs as root on a libvirt/QEMU host and keeps the guest
tools inside its VMs up to date: it talks to each running VM's guest
channel, attaches upgrade ISOs to the VMs' CD-ROM drives with virsh,
paces upgrade runs and answers the host's management agent on a local
socket. The package also carries the command-line tool ortavis-upgctl
and the systemd unit, enabled and started on installation.")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libortavis-upgclient0)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# The shlibs entry for packages built against it (only this package has a
# shared object), and ldconfig by trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# CPack adds an ldconfig call to the postinst and postrm of a package with a
# shared object under /usr/lib, which the trigger makes redundant (lintian
# warns maintscript-calls-ldconfig); the only way to keep it out is a script
# of our own, which would be empty (lintian warns maintainer-script-empty).
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION "client library of the ortavis-upgd management socket
libortavis-upgclient is the client side of the management socket of
ortavis-upgd, the guest tools upgrade daemon of libvirt/QEMU hosts: it
connects, sends health checks, result queries and upgrade requests, waits
a bounded time for each answer and parses the replies.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libortavis-upgclient-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_DEV_DESCRIPTION "client library of the ortavis-upgd management socket (development files)
The C header, the protocol's named constants shared with the daemon, the
version header and the pkg-config file of libortavis-upgclient, the client
library of the management socket of ortavis-upgd.")

include(CPack)
