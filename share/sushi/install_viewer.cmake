# Run by cmake --install: writes GNOME Sushi's archive viewer (Sushi 43 to
# 50) and plug-in (Sushi 51 and later) with the absolute path of the
# installed vexel-quicklook (Sushi runs it from its own session, where the
# prefix's bin/ may not be on PATH), and adds them to the install manifest.
# Sushi 43 to 46 read viewers only from the user's folder: a program run at
# each login (an XDG autostart entry) links the installed viewer there.
# Set before: VEXEL_BINDIR, VEXEL_DATADIR, VEXEL_LIBEXECDIR, VEXEL_SUSHI_VIEWER,
# VEXEL_SUSHI_PLUGIN, VEXEL_SUSHI_LINKER and VEXEL_SUSHI_AUTOSTART (the
# sources).
# The placeholders below are spelt as @VARIABLE@, which an install script
# would expand itself under the old rule.
cmake_policy(PUSH)
cmake_policy(SET CMP0053 NEW)
foreach(dir VEXEL_BINDIR VEXEL_DATADIR VEXEL_LIBEXECDIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
# The path inside a JavaScript string in single quotes.
set(program "${VEXEL_BINDIR}/vexel-quicklook")
string(REPLACE "\\" "\\\\" program "${program}")
string(REPLACE "'" "\\'" program "${program}")
# The viewer goes where Sushi 43 to 50 look in the user's folder (the
# prefix ~/.local), the plug-in where Sushi 51 looks in the user's folder
# and, under its own prefix, system-wide: PREFIX/lib/sushi/plugins-1 ("lib"
# as Sushi spells it, not the platform's library folder).
foreach(copy "${VEXEL_SUSHI_VIEWER}|${VEXEL_DATADIR}/sushi/viewers"
             "${VEXEL_SUSHI_PLUGIN}|${VEXEL_DATADIR}/sushi/plugins-1"
             "${VEXEL_SUSHI_PLUGIN}|${CMAKE_INSTALL_PREFIX}/lib/sushi/plugins-1")
  string(REPLACE "|" ";" copy "${copy}")
  list(GET copy 0 source)
  list(GET copy 1 folder)
  file(READ "${source}" text)
  string(REPLACE "'@VEXEL_QUICKLOOK@'" "'${program}'" text "${text}")
  set(file "$ENV{DESTDIR}${folder}/vexel.js")
  message(STATUS "Installing: ${file}")
  file(WRITE "${file}" "${text}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
endforeach()

# The login step, and its autostart entry under the system configuration
# folder (/etc for the /usr prefix, as for every Debian package).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(sysconfdir /etc)
else()
  set(sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(VEXEL_SUSHI_VIEWER_FILE "${VEXEL_DATADIR}/sushi/viewers/vexel.js")
set(VEXEL_SUSHI_VIEWER_PROGRAM "${VEXEL_LIBEXECDIR}/vexel/vexel-sushi-viewer")
file(READ "${VEXEL_SUSHI_LINKER}" text)
string(REPLACE "'" "'\\''" quoted "${VEXEL_SUSHI_VIEWER_FILE}")
string(REPLACE "@VEXEL_SUSHI_VIEWER_FILE@" "${quoted}" text "${text}")
set(file "$ENV{DESTDIR}${VEXEL_SUSHI_VIEWER_PROGRAM}")
message(STATUS "Installing: ${file}")
file(WRITE "${file}" "${text}")
file(CHMOD "${file}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
# The entry's Exec names the program in double quotes, inside which a
# backslash, " ` or $ would need escaping: such a prefix is refused.
set(program "${VEXEL_SUSHI_VIEWER_PROGRAM}")
if(program MATCHES "[\\\"`$]")
  message(FATAL_ERROR "install: the prefix ${CMAKE_INSTALL_PREFIX} has a character a desktop entry cannot name")
endif()
file(READ "${VEXEL_SUSHI_AUTOSTART}" text)
string(REPLACE "@VEXEL_SUSHI_VIEWER_PROGRAM@" "${program}" text "${text}")
set(file "$ENV{DESTDIR}${sysconfdir}/xdg/autostart/vexel-sushi-viewer.desktop")
message(STATUS "Installing: ${file}")
file(WRITE "${file}" "${text}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
cmake_policy(POP)
