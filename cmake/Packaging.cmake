# What a Linux installation holds besides the two programs (their install()
# rules sit beside their targets, component "client"): the desktop entry,
# the AppStream data, the icons, the CA certificate the tunnel trusts and the
# strongSwan drop-in. With VELORIN_PACKAGE=ON also the generated files of the
# Debian package (manual pages from --help, PNG icons, the compressed
# changelog) and the CPack settings that make velorin-vpn_<version>_<arch>.deb
# (scripts/package.sh; configure with -DCMAKE_INSTALL_PREFIX=/usr).
include(GNUInstallDirs)

option(VELORIN_PACKAGE "Generate the Debian package's files and set up cpack" OFF)
set(VELORIN_IKEV2_CA_CERTIFICATE "" CACHE FILEPATH
    "PEM certificate of the CA that issues the VPN servers' certificates; empty: a placeholder the operator replaces")

set(dist "${PROJECT_SOURCE_DIR}/dist")

install(FILES "${dist}/velorin-vpn.desktop" DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT client)
install(FILES "${dist}/com.velorin.vpn.metainfo.xml" DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT client)
install(FILES "${PROJECT_SOURCE_DIR}/src/ui/common/icons/AppIcon.svg"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME velorin-vpn.svg COMPONENT client)

# The CA goes where the IKEv2 adapter looks first; the operator may replace
# it (a configuration file: upgrades keep the replacement). It and the
# strongSwan drop-in belong to the machine, not to the prefix: component
# "system", which `cmake --install --component client` leaves out.
set(ca_file "${dist}/velorin-vpn-ca.pem")
if(VELORIN_IKEV2_CA_CERTIFICATE)
  file(READ "${VELORIN_IKEV2_CA_CERTIFICATE}" ca_text)
  if(NOT ca_text MATCHES "-----BEGIN CERTIFICATE-----")
    message(FATAL_ERROR "VELORIN_IKEV2_CA_CERTIFICATE: ${VELORIN_IKEV2_CA_CERTIFICATE} holds no PEM certificate")
  endif()
  set(ca_file "${VELORIN_IKEV2_CA_CERTIFICATE}")
endif()
install(FILES "${ca_file}" DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/velorin-vpn
        RENAME velorin-vpn-ca.pem COMPONENT system)
install(FILES "${dist}/strongswan-velorin-vpn.conf" DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/strongswan.d
        RENAME velorin-vpn.conf COMPONENT system)

if(NOT VELORIN_PACKAGE)
  return()
endif()

find_program(HELP2MAN help2man REQUIRED)
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
find_program(GZIP gzip REQUIRED)

# Manual pages from the programs' --help, with the sections written by hand
# in dist/man. The application parses its command line before it opens a
# window, but Qt needs a platform for that: the offscreen one.
set(man_pages)
foreach(program velorin velorin-vpn)
  set(page "${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1")
  add_custom_command(OUTPUT "${page}.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/man"
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${HELP2MAN} --no-info --section 1
            --version-string "${PROJECT_VERSION}" --include "${dist}/man/${program}.h2m"
            --output "${page}" "$<TARGET_FILE:${program}>"
    COMMAND ${GZIP} -9nf "${page}"
    DEPENDS ${program} "${dist}/man/${program}.h2m"
    VERBATIM)
  list(APPEND man_pages "${page}.gz")
endforeach()
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT client)

# PNG icons for the places that do not draw SVG (some trays and docks).
set(png_icons)
foreach(size 16 24 32 48 64 128 256)
  set(png "${CMAKE_CURRENT_BINARY_DIR}/icons/${size}/velorin-vpn.png")
  add_custom_command(OUTPUT "${png}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/icons/${size}"
    COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o "${png}" "${PROJECT_SOURCE_DIR}/src/ui/common/icons/AppIcon.svg"
    DEPENDS "${PROJECT_SOURCE_DIR}/src/ui/common/icons/AppIcon.svg"
    VERBATIM)
  list(APPEND png_icons "${png}")
  install(FILES "${png}" DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT client)
endforeach()

# The changelog's top entry names the version being packaged.
file(STRINGS "${dist}/changelog" changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^velorin-vpn \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "dist/changelog: the top entry is not for version ${PROJECT_VERSION}")
endif()
set(changelog "${CMAKE_CURRENT_BINARY_DIR}/changelog.gz")
add_custom_command(OUTPUT "${changelog}"
  COMMAND ${GZIP} -9nc "${dist}/changelog" > "${changelog}"
  DEPENDS "${dist}/changelog")
add_custom_target(velorin_package_files ALL DEPENDS ${man_pages} ${png_icons} "${changelog}")
install(FILES "${changelog}" "${dist}/copyright" DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velorin-vpn COMPONENT client)

# Only the user's programs go into the package: not the development backend
# nor the test tools.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client system)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGE_NAME velorin-vpn)
set(CPACK_PACKAGE_VENDOR "Velorin VPN")
set(CPACK_PACKAGE_CONTACT "Velorin VPN <support@velorin.example>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop client for the Velorin VPN service")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Velorin VPN lives in the tray: sign in to an account, pick a server location\n"
    "and connect with IKEv2 (through the system's strongSwan service) or Xray\n"
    "Reality (a local proxy the desktop's proxy settings point at). The main\n"
    "window shows the connection, the account, its devices and the settings.\n"
    ".\n"
    "The package also holds the velorin command-line program. It opens\n"
    "strongSwan's control socket to the members of the velorin group.")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velorin.example")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# strongSwan's daemon with the EAP-MSCHAPv2 plugin (extauth) and the MD4/DES
# it needs (standard plugins), Qt's plugins the programs load at run time
# (Wayland, SQLite), the colour font the location flags are drawn with.
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "charon-systemd, libstrongswan-standard-plugins, libcharon-extra-plugins, libcharon-extauth-plugins, qt6-wayland, libqt6sql6-sqlite, fonts-noto-color-emoji")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${dist}/debian/conffiles;${dist}/debian/preinst;${dist}/debian/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
