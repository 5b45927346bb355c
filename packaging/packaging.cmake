# Installation rules and the two Debian packages, built with CPack:
#
#   lumo            PREFIX/bin/lumo                 the launcher (packaging/lumo-launcher.sh)
#                   PREFIX/lib/lumo/lumo            the program
#                   PREFIX/lib/lumo/plugin/*.so     the overlay plug-in
#                   PREFIX/share/lumo/{sys,skin}/   the shipped settings and skins
#                   menu entry, icon, AppStream metadata, lumo(1)
#   lumo-directory  PREFIX/bin/lumo-directory, its systemd unit, /etc/default/lumo-directory
#                   (PREFIX/etc/default for a prefix other than /usr),
#                   lumo-directory(1); the maintainer scripts add the system user and
#                   /var/lib/lumo-directory
#
# The program keeps reading its files relative to its current directory; the launcher starts it
# in the player's own folder, filled from PREFIX/share/lumo on first start.
#
# Packages: build, then `cpack --config build/CPackConfig.cmake -B build/packages`
# (scripts/package-test does that and checks them).

# Destinations: GNUInstallDirs' bin, share and man directories. The program and its plug-ins go
# to lib/lumo literally: the launcher looks there, and on Debian with the prefix /usr
# CMAKE_INSTALL_LIBDIR would be lib/<multiarch>. The systemd unit likewise goes to lib/systemd,
# and the settings file's /etc is decided at installation time (CPack installs into /usr
# whatever the build's prefix).
include(GNUInstallDirs)
set(LUMO_INSTALL_PROGRAMDIR lib/lumo)
set(LUMO_INSTALL_SHAREDIR ${CMAKE_INSTALL_DATADIR}/lumo)

set(LUMO_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(LUMO_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${LUMO_PACKAGING_OUT})

# Debian version: 1.3beta is upstream 1.3~beta, which sorts before the final 1.3.
string(REPLACE "beta" "~beta" LUMO_DEB_UPSTREAM_VERSION "${LUMO_VERSION_TEXT}")
set(LUMO_DEB_RELEASE 1)
set(LUMO_DEB_VERSION "${LUMO_DEB_UPSTREAM_VERSION}-${LUMO_DEB_RELEASE}")
file(STRINGS ${LUMO_PACKAGING_DIR}/debian/changelog LUMO_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT LUMO_CHANGELOG_TOP MATCHES "^lumo \\(${LUMO_DEB_VERSION}\\) ")
  message(WARNING "packaging/debian/changelog does not start with version ${LUMO_DEB_VERSION}: add an entry")
endif()

# Documents compressed as Debian wants them (gzip -9n: no name or time stamp, so reproducible).
find_program(LUMO_GZIP gzip)
set(LUMO_PACKAGING_OUTPUTS)
function(lumo_gzip_document source output)
  set(plain ${LUMO_PACKAGING_OUT}/${output})
  string(REGEX REPLACE "\\.gz$" "" plain "${plain}")
  set(VERSION "${LUMO_VERSION_TEXT}")
  configure_file(${source} ${plain} @ONLY)
  add_custom_command(OUTPUT ${LUMO_PACKAGING_OUT}/${output}
    COMMAND ${LUMO_GZIP} -9nf ${plain}
    DEPENDS ${plain}
    COMMENT "Compressing ${output}")
  set(LUMO_PACKAGING_OUTPUTS ${LUMO_PACKAGING_OUTPUTS} ${LUMO_PACKAGING_OUT}/${output} PARENT_SCOPE)
endfunction()
lumo_gzip_document(${LUMO_PACKAGING_DIR}/man/lumo.1 lumo.1.gz)
lumo_gzip_document(${LUMO_PACKAGING_DIR}/man/lumo-directory.1 lumo-directory.1.gz)
lumo_gzip_document(${LUMO_PACKAGING_DIR}/debian/changelog changelog.Debian.gz)
add_custom_target(lumo_packaging_documents ALL DEPENDS ${LUMO_PACKAGING_OUTPUTS})

set(LUMO_COMPONENTS)

if(TARGET lumo)
  list(APPEND LUMO_COMPONENTS lumo)
  install(PROGRAMS ${LUMO_PACKAGING_DIR}/lumo-launcher.sh DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME lumo COMPONENT lumo)
  install(TARGETS lumo RUNTIME DESTINATION ${LUMO_INSTALL_PROGRAMDIR} COMPONENT lumo)
  install(TARGETS hudlet LIBRARY DESTINATION ${LUMO_INSTALL_PROGRAMDIR}/plugin COMPONENT lumo)
  install(FILES ${CMAKE_SOURCE_DIR}/data/sys/sys.ini DESTINATION ${LUMO_INSTALL_SHAREDIR}/sys COMPONENT lumo)
  file(GLOB LUMO_INSTALL_SKINS ${CMAKE_SOURCE_DIR}/data/skin/*)
  install(FILES ${LUMO_INSTALL_SKINS} DESTINATION ${LUMO_INSTALL_SHAREDIR}/skin COMPONENT lumo)
  install(FILES ${CMAKE_SOURCE_DIR}/data/lumo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT lumo)
  install(FILES ${CMAKE_SOURCE_DIR}/data/icons/lumo.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          COMPONENT lumo)
  install(FILES ${CMAKE_SOURCE_DIR}/data/lumo.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT lumo)
  install(FILES ${LUMO_PACKAGING_OUT}/lumo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT lumo)
  install(FILES ${LUMO_PACKAGING_DIR}/debian/copyright ${LUMO_PACKAGING_OUT}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/lumo COMPONENT lumo)
  install(FILES ${LUMO_PACKAGING_DIR}/debian/lumo/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME lumo COMPONENT lumo)
endif()

if(TARGET lumo-directory)
  list(APPEND LUMO_COMPONENTS directory)
  install(TARGETS lumo-directory RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT directory)
  # The unit names the program and the settings by their installed paths, known only at
  # installation time (CPack installs into /usr whatever the build's prefix).
  install(CODE "set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(SYSCONFDIR /etc)
    else()
      set(SYSCONFDIR \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
    configure_file(\"${LUMO_PACKAGING_DIR}/systemd/lumo-directory.service.in\"
                   \"${LUMO_PACKAGING_OUT}/lumo-directory.service\" @ONLY)"
          COMPONENT directory)
  install(FILES ${LUMO_PACKAGING_OUT}/lumo-directory.service DESTINATION lib/systemd/system
          COMPONENT directory)
  # Settings in /etc/default for the system prefix (the packages), else under the prefix.
  install(CODE "if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(etc /etc)
    else()
      set(etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
    file(INSTALL DESTINATION \"\${etc}/default\" TYPE FILE RENAME lumo-directory
         FILES \"${LUMO_PACKAGING_DIR}/systemd/lumo-directory.default\")"
          COMPONENT directory)
  install(FILES ${LUMO_PACKAGING_OUT}/lumo-directory.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT directory)
  install(FILES ${LUMO_PACKAGING_DIR}/debian/copyright ${LUMO_PACKAGING_OUT}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/lumo-directory COMPONENT directory)
endif()

# ---- CPack: one .deb per component ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumo)
set(CPACK_PACKAGE_VENDOR "LUMO developers")
set(CPACK_PACKAGE_CONTACT "LUMO developers <maintainers@lumo.example.net>")
set(CPACK_PACKAGE_VERSION "${LUMO_DEB_UPSTREAM_VERSION}")
# Each package's description starts with its own synopsis. CPack would put the project's summary
# in front of both, unless the summary is left at CPack's own default value.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${LUMO_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION "${LUMO_DEB_UPSTREAM_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${LUMO_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE lumo)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LUMO_PACKAGE_NAME lumo)
set(CPACK_DEBIAN_LUMO_PACKAGE_SECTION net)
# The X11 platform plug-in is loaded at run time, so dpkg-shlibdeps cannot see it. The
# microphone's cleaning library and Sonic (the players' time-scaler) are named as well
# (dpkg-shlibdeps finds them too): voice without them is not what players expect; so is
# libsodium, without which no member's key can be checked.
set(CPACK_DEBIAN_LUMO_PACKAGE_DEPENDS "qt6-qpa-plugins, libwebrtc-audio-processing1, libsonic0, libsodium23")
# The windows speak Chinese. In a Wayland session LUMO runs through XWayland where the desktop
# offers it, and natively with Qt's Wayland platform plug-in where it does not or the player asks
# for it (QT_QPA_PLATFORM=wayland); an X11 session needs neither.
set(CPACK_DEBIAN_LUMO_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei, qt6-translations-l10n, qt6-wayland")
set(CPACK_DEBIAN_LUMO_PACKAGE_SUGGESTS "lumo-directory")
set(CPACK_DEBIAN_LUMO_DESCRIPTION "group text chat and voice for players of online games
Players find chat groups in a web directory and join one with a
double-click, or host a group of their own. Members then exchange text
and G.729 voice directly with each other over UDP.
An in-game overlay shows the group and its voice states above other
windows; it is shown and hidden with the Home key.")

set(CPACK_DEBIAN_DIRECTORY_PACKAGE_NAME lumo-directory)
set(CPACK_DEBIAN_DIRECTORY_PACKAGE_SECTION net)
# dpkg-shlibdeps adds the libraries (libmicrohttpd, libdeflate, libpq, SQLite, zlib).
set(CPACK_DEBIAN_DIRECTORY_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_DIRECTORY_PACKAGE_CONTROL_EXTRA
  ${LUMO_PACKAGING_DIR}/debian/lumo-directory/conffiles
  ${LUMO_PACKAGING_DIR}/debian/lumo-directory/postinst
  ${LUMO_PACKAGING_DIR}/debian/lumo-directory/prerm
  ${LUMO_PACKAGING_DIR}/debian/lumo-directory/postrm)
set(CPACK_DEBIAN_DIRECTORY_DESCRIPTION "directory of LUMO groups over HTTP
A small web server that lists the LUMO groups online on a machine or a
LAN, and takes their registrations, renewals and removals, keeping them
in an SQLite file or a PostgreSQL database that several servers share. It runs as the system service lumo-directory, listening on
127.0.0.1:8080 unless /etc/default/lumo-directory says otherwise.")

include(CPack)
