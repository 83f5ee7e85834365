# The Debian package: `cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr (Release) makes vexel_VERSION_ARCH.deb, which
# installs what `cmake --install` installs, under /usr: there each program
# finds its part (Qt's plug-in folder, Tracker's rules and modules, the file
# managers' menus, the desktop entry of the vexel:// handler, which the
# system's desktop database then offers every user).
#
# Dependencies: the libraries the binaries link (dpkg-shlibdeps), and the
# programs they start: 7-Zip (7zz, else 7z), xdg-utils (xdg-open,
# xdg-mime), notify-send, and update-desktop-database, whose trigger
# registers the vexel:// handler. No maintainer scripts: what dpkg installs
# it removes, and `apt purge vexel` leaves nothing.
set(CPACK_PACKAGE_NAME vexel)
set(CPACK_PACKAGE_VENDOR "Vexel")
set(CPACK_PACKAGE_CONTACT "Vexel developers <vexel@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "see and find what is inside archives from the desktop")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
 Previews of archive contents for file managers (GNOME Sushi, the
 Properties window of GNOME Files, terminal file managers), searches that
 find an archive by the names inside it (Baloo, Tracker and Recoll
 plug-ins), and context-menu commands (extract, open, compress) for
 Dolphin, Nautilus, Nemo, PCManFM, Caja and Thunar, carried out through
 vexel:// links.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The CoreFoundation stand-in is the package's own library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/platform/corefoundation)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "7zip | p7zip-full, xdg-utils, libnotify-bin, desktop-file-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libarchive-tools, zenity")
# What uses the rest: the indexers, the file managers and their extension
# packages, Sushi for the GNOME preview.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
  "baloo-kf5, tracker-extract, recollcmd, python3-nautilus, nemo, dolphin, gnome-sushi, libfm-modules, caja-actions")
# The install scripts write absolute paths (the Recoll filter, the handler's
# desktop entry, the Tracker rule): they must see /usr as the prefix, with
# the staging folder as DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_VEXEL_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/VexelPackagingCheck.cmake)
set(CPACK_GENERATOR DEB)
include(CPack)
