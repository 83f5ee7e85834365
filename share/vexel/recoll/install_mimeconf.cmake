# Run by cmake --install: writes the Recoll mimeconf with the absolute path
# of the installed rclvexel, and adds it to the install manifest.
# Set before: VEXEL_DATADIR (CMAKE_INSTALL_DATADIR) and VEXEL_MIMECONF_TEMPLATE.
set(datadir "${VEXEL_DATADIR}")
if(NOT IS_ABSOLUTE "${datadir}")
  set(datadir "${CMAKE_INSTALL_PREFIX}/${datadir}")
endif()
set(VEXEL_RCLVEXEL "${datadir}/vexel/recoll/rclvexel")
# Recoll splits the command at blanks unless it is quoted.
if(VEXEL_RCLVEXEL MATCHES "[ \t]")
  set(VEXEL_RCLVEXEL "\"${VEXEL_RCLVEXEL}\"")
endif()
file(READ "${VEXEL_MIMECONF_TEMPLATE}" text)
string(CONFIGURE "${text}" text @ONLY)
set(file "$ENV{DESTDIR}${datadir}/vexel/recoll/mimeconf")
message(STATUS "Installing: ${file}")
file(WRITE "${file}" "${text}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
