# Run by cmake --install: writes the desktop entry that registers
# vexel-handoff for x-scheme-handler/vexel, with the absolute path of the
# installed program (the session that opens the links may not have the
# prefix's bin/ on PATH), and adds it to the install manifest.
# Set before: VEXEL_BINDIR, VEXEL_DATADIR and VEXEL_HANDOFF_TEMPLATE.
foreach(dir VEXEL_BINDIR VEXEL_DATADIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
set(program "${VEXEL_BINDIR}/vexel-handoff")
# Exec quoting: inside double quotes, " ` $ and \ take a backslash, which
# the string escapes of desktop entries double; % is written %%.
string(REPLACE "%" "%%" program "${program}")
if(program MATCHES "[^A-Za-z0-9/._+-]")
  string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\\\\\1" program "${program}")
  set(program "\"${program}\"")
endif()
set(VEXEL_HANDOFF_EXEC "${program}")
file(READ "${VEXEL_HANDOFF_TEMPLATE}" text)
string(CONFIGURE "${text}" text @ONLY)
set(file "$ENV{DESTDIR}${VEXEL_DATADIR}/applications/vexel-handoff.desktop")
message(STATUS "Installing: ${file}")
file(WRITE "${file}" "${text}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
