# Run by cmake --install: writes the Tracker rule, naming the installed
# module as Tracker's own rules do (its file name) when it lies in the
# folder Tracker loads modules from, else by its absolute path, and adds the
# rule to the install manifest.
# Set before: VEXEL_TRACKER_MODULE_DIR, VEXEL_TRACKER_RULES_DIR (below the
# prefix unless absolute), VEXEL_TRACKER_SYSTEM_MODULE_DIR (absolute),
# VEXEL_TRACKER_MODULE_NAME, VEXEL_TRACKER_RULE_NAME, VEXEL_TRACKER_RULE_TEMPLATE,
# VEXEL_TRACKER_MIME_TYPES and VEXEL_TRACKER_RULE_HASH.
foreach(dir VEXEL_TRACKER_MODULE_DIR VEXEL_TRACKER_RULES_DIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
if(VEXEL_TRACKER_MODULE_DIR STREQUAL VEXEL_TRACKER_SYSTEM_MODULE_DIR)
  set(VEXEL_TRACKER_MODULE_PATH "${VEXEL_TRACKER_MODULE_NAME}")
else()
  set(VEXEL_TRACKER_MODULE_PATH "${VEXEL_TRACKER_MODULE_DIR}/${VEXEL_TRACKER_MODULE_NAME}")
endif()
file(READ "${VEXEL_TRACKER_RULE_TEMPLATE}" text)
string(CONFIGURE "${text}" text @ONLY)
set(file "$ENV{DESTDIR}${VEXEL_TRACKER_RULES_DIR}/${VEXEL_TRACKER_RULE_NAME}")
message(STATUS "Installing: ${file}")
file(WRITE "${file}" "${text}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
