# Runs at install time (install(SCRIPT)), so that the paths written into the units and the place
# of the autostart entry follow the prefix actually installed to: `cmake --install --prefix`,
# or /usr in the package, whatever the build was configured with.
# Set before: HARBOLT_DIST_SOURCE (dist/), HARBOLT_DIST_STAGE (a directory of the build tree),
# HARBOLT_SYSCONFDIR (CMAKE_INSTALL_SYSCONFDIR).

string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
set(HARBOLT_BINDIR "${prefix}/bin")
set(HARBOLT_DOCDIR "${prefix}/share/doc/harbolt")

# As GNUInstallDirs has it: the prefixes / and /usr keep their configuration in /etc.
if(IS_ABSOLUTE "${HARBOLT_SYSCONFDIR}")
    set(sysconfdir "${HARBOLT_SYSCONFDIR}")
elseif(prefix STREQUAL "" OR prefix STREQUAL "/usr")
    set(sysconfdir "/etc")
else()
    set(sysconfdir "${prefix}/${HARBOLT_SYSCONFDIR}")
endif()

configure_file("${HARBOLT_DIST_SOURCE}/systemd/harbolt.service"
               "${HARBOLT_DIST_STAGE}/system/harbolt.service" @ONLY)
configure_file("${HARBOLT_DIST_SOURCE}/systemd/harbolt-user.service"
               "${HARBOLT_DIST_STAGE}/user/harbolt.service" @ONLY)

# file(INSTALL) adds DESTDIR itself.
file(INSTALL DESTINATION "${prefix}/lib/systemd/system" TYPE FILE
     FILES "${HARBOLT_DIST_STAGE}/system/harbolt.service")
file(INSTALL DESTINATION "${prefix}/lib/systemd/user" TYPE FILE
     FILES "${HARBOLT_DIST_STAGE}/user/harbolt.service")
file(INSTALL DESTINATION "${sysconfdir}/xdg/autostart" TYPE FILE RENAME harbolt.desktop
     FILES "${HARBOLT_DIST_SOURCE}/harbolt-autostart.desktop")
