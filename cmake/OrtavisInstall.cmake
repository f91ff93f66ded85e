# ortavis_install_configured(TEMPLATE DESTINATION)
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
include(GNUInstallDirs)

# The operator's documentation, beside Debian's own per-package directory.
set(ORTAVIS_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/ortavis-upgd)

function(ortavis_install_configured template destination)
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
  install(CODE "${code}")
endfunction()
