# Run by cmake --install: writes GNOME Sushi's archive viewer with the
# absolute path of the installed vexel-quicklook (Sushi runs it from its own
# session, where the prefix's bin/ may not be on PATH), and adds it to the
# install manifest.
# Set before: VEXEL_BINDIR, VEXEL_DATADIR and VEXEL_SUSHI_VIEWER (the source).
foreach(dir VEXEL_BINDIR VEXEL_DATADIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
# The path inside a JavaScript string in single quotes.
set(program "${VEXEL_BINDIR}/vexel-quicklook")
string(REPLACE "\\" "\\\\" program "${program}")
string(REPLACE "'" "\\'" program "${program}")
file(READ "${VEXEL_SUSHI_VIEWER}" text)
string(REPLACE "'@VEXEL_QUICKLOOK@'" "'${program}'" text "${text}")
set(file "$ENV{DESTDIR}${VEXEL_DATADIR}/sushi/viewers/vexel.js")
message(STATUS "Installing: ${file}")
file(WRITE "${file}" "${text}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
