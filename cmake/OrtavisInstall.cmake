# ortavis_install_configured(TEMPLATE DESTINATION [COMPONENT])
#   Installs TEMPLATE (a ".in" file with @VAR@ references) configured when it
#   is installed rather than when the project is configured, so the paths
#   written into it are those of the installation actually made: both
#   `cmake --install --prefix DIR` and CPack's packaging prefix differ from
#   the CMAKE_INSTALL_PREFIX seen at configure time. The file goes to
#   DESTINATION (evaluated at install time; relative to the prefix unless
#   absolute) under the template's name less ".in". At install time the
#   template sees PROJECT_VERSION, CMAKE_INSTALL_PREFIX and the absolute
#   CMAKE_INSTALL_FULL_{SBIN,LIB,INCLUDE}DIR, ORTAVIS_FULL_DOCDIR and
#   ORTAVIS_SYSTEMD_UNITDIR below.
# Libraries go to the multiarch directory (lib/x86_64-linux-gnu) where the
# system has one, under any prefix: Debian's linker searches it under /usr and
# /usr/local alike. GNUInstallDirs itself does so only for the prefix /usr
# (a build tree configured before keeps "lib" in its cache: that is replaced).
if(CMAKE_LIBRARY_ARCHITECTURE AND (NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR} OR CMAKE_INSTALL_LIBDIR STREQUAL "lib"))
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (LIBDIR)" FORCE)
endif()
include(GNUInstallDirs)

# What installs without naming its component belongs to the daemon's package;
# the client library names its own (cmake/Packaging.cmake).
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME daemon)

# The operator's documentation, beside Debian's own per-package directory.
set(ORTAVIS_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/ortavis-upgd)

function(ortavis_install_configured template destination)
  set(component ${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME})
  if(ARGC GREATER 2)
    set(component ${ARGV2})
  endif()
  get_filename_component(name "${template}" NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  set(out "${CMAKE_CURRENT_BINARY_DIR}/install-time/${name}")
  set(code "set(PROJECT_VERSION \"${PROJECT_VERSION}\")\n")
  foreach(pair SBINDIR:${CMAKE_INSTALL_SBINDIR} LIBDIR:${CMAKE_INSTALL_LIBDIR}
               INCLUDEDIR:${CMAKE_INSTALL_INCLUDEDIR} DOCDIR:${ORTAVIS_DOCDIR})
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 key)
    list(GET pair 1 dir)
    if(IS_ABSOLUTE "${dir}")
      set(full "${dir}")
    else()
      set(full "\${CMAKE_INSTALL_PREFIX}/${dir}")
    endif()
    if(key STREQUAL "DOCDIR")
      string(APPEND code "set(ORTAVIS_FULL_DOCDIR \"${full}\")\n")
    else()
      string(APPEND code "set(CMAKE_INSTALL_FULL_${key} \"${full}\")\n")
    endif()
  endforeach()
  # Units of packages installed under /usr go to /lib/systemd/system, where
  # Debian 12 keeps them; under any other prefix they stay inside it
  # (/usr/local/lib/systemd/system is on systemd's search path too).
  string(APPEND code [[
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(ORTAVIS_SYSTEMD_UNITDIR /lib/systemd/system)
else()
  set(ORTAVIS_SYSTEMD_UNITDIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
]])
  if(NOT IS_ABSOLUTE "${destination}" AND NOT destination MATCHES "^\\$")
    set(destination "\${CMAKE_INSTALL_PREFIX}/${destination}")
  endif()
  string(APPEND code
    "configure_file(\"${template}\" \"${out}\" @ONLY)\n"
    "file(INSTALL DESTINATION \"${destination}\" TYPE FILE FILES \"${out}\")\n")
  install(CODE "${code}" COMPONENT ${component})
endfunction()
