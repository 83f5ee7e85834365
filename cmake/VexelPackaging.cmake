# The Debian packages: `cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr (Release) makes three, which install what
# `cmake --install` installs, under /usr, where each program finds its part:
#   vexel        the hosts, the receiver of vexel:// links and its desktop
#                entry, the menus of Nemo, PCManFM, Caja and Thunar, Recoll's
#                filter;
#   vexel-kde    the Baloo plug-in and Dolphin's menu plug-in (Qt's plug-in folder);
#   vexel-gnome  the Tracker / LocalSearch module and rule, the Sushi viewer
#                and the Nautilus extension.
# A desktop's part depends on the core and on what it plugs into, never on
# the other desktop's libraries, so a GNOME install pulls in no Qt and a KDE
# one no WebKitGTK or Tracker. A package is built for the release it is built
# on (the library versions dpkg-shlibdeps finds, the indexers' folders).
#
# Dependencies: the libraries the binaries link (dpkg-shlibdeps), and the
# programs they start: 7-Zip (7zz, else 7z), xdg-utils (xdg-open,
# xdg-mime), notify-send, and update-desktop-database, whose trigger
# registers the vexel:// handler. The GNOME part has one maintainer script,
# which removes the links to the Sushi viewer that a login made in the
# homes (share/sushi/postrm); the rest
# is files only: what dpkg installs it removes, and `apt purge` leaves
# nothing.
set(CPACK_PACKAGE_NAME vexel)
set(CPACK_PACKAGE_VENDOR "Vexel")
set(CPACK_PACKAGE_CONTACT "Vexel developers <vexel@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "see and find what is inside archives from the desktop")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL core kde gnome)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_KDE_DEPENDS core)
set(CPACK_COMPONENT_GNOME_DEPENDS core)
set(CPACK_DEBIAN_CORE_PACKAGE_NAME vexel)
set(CPACK_DEBIAN_KDE_PACKAGE_NAME vexel-kde)
set(CPACK_DEBIAN_GNOME_PACKAGE_NAME vexel-gnome)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The CoreFoundation stand-in is the core package's own library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/platform/corefoundation)
set(CPACK_DEBIAN_CORE_DESCRIPTION
 "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
Previews of archive contents for terminal file managers and the
Properties window of GNOME Files, Recoll's filter that finds an archive by
the names inside it, and context-menu commands (extract, open, compress)
for Nemo, PCManFM, Caja and Thunar, carried out through vexel:// links.
vexel-kde and vexel-gnome add what each desktop plugs in.")
set(CPACK_DEBIAN_KDE_DESCRIPTION
 "Vexel for KDE: Baloo plug-in and Dolphin menus
Dolphin's search, KRunner and Plasma search find an archive by the names
inside it; Dolphin's menu extracts and opens archives.

Debian 12 ships Baloo switched off: run `balooctl enable` (Debian 13:
`balooctl6 enable`). Archives Baloo indexed before this install keep their
old entries until they change: `balooctl clear FILE...`, then
`balooctl check` (Debian 13: `balooctl6`), indexes them again.")
set(CPACK_DEBIAN_GNOME_DESCRIPTION
 "Vexel for GNOME: Tracker / LocalSearch module, Sushi viewer, Nautilus menu
GNOME Files' search and the GNOME overview find an archive by the names
inside it; the space bar in GNOME Files shows an archive's outline; GNOME
Files' menu extracts and opens archives.

Tracker reads the new rule from the next login, and skips archives it
indexed before this install until they change: `tracker3 reset -s`
(Debian 13: `localsearch reset -s`), then logging in again, indexes every
file anew. The space-bar preview starts with each user's next login.")
set(CPACK_DEBIAN_CORE_PACKAGE_DEPENDS "7zip | p7zip-full, xdg-utils, libnotify-bin, desktop-file-utils")
set(CPACK_DEBIAN_CORE_PACKAGE_RECOMMENDS "libarchive-tools, zenity")
set(CPACK_DEBIAN_CORE_PACKAGE_SUGGESTS
  "vexel-kde, vexel-gnome, recollcmd, nemo, libfm-modules, caja-actions, thunar")
# Each part: the indexer whose extractor loads the plug-in (Baloo 6 for a
# build against KDE Frameworks 6; LocalSearch 3.8 is still packaged as
# tracker-extract), the file manager it adds to.
if(VEXEL_BALOO_KF_FOUND EQUAL 6)
  set(CPACK_DEBIAN_KDE_PACKAGE_DEPENDS "baloo6")
else()
  set(CPACK_DEBIAN_KDE_PACKAGE_DEPENDS "baloo-kf5")
endif()
set(CPACK_DEBIAN_KDE_PACKAGE_RECOMMENDS "dolphin")
set(CPACK_DEBIAN_GNOME_PACKAGE_DEPENDS "tracker-extract")
set(CPACK_DEBIAN_GNOME_PACKAGE_RECOMMENDS "gnome-sushi, python3-nautilus")
set(CPACK_DEBIAN_GNOME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/share/sushi/postrm)
# The install scripts write absolute paths (the Recoll filter, the handler's
# desktop entry, the Tracker rule): they must see /usr as the prefix, with
# the staging folder as DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_VEXEL_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/VexelPackagingCheck.cmake)
set(CPACK_GENERATOR DEB)
include(CPack)
