# Read by cpack: a Debian package installs under /usr, where Qt, Tracker and
# the desktop look; a build for another prefix would put its plug-ins
# where nothing finds them.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_VEXEL_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "cpack -G DEB: this build installs under ${CPACK_VEXEL_INSTALL_PREFIX}; "
    "configure it with -DCMAKE_INSTALL_PREFIX=/usr (and -DCMAKE_BUILD_TYPE=Release)")
endif()
