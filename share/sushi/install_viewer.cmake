# Run by cmake --install: writes GNOME Sushi's archive viewer (Sushi 43 to
# 50) and plug-in (Sushi 51 and later) with the absolute path of the
# installed vexel-quicklook (Sushi runs it from its own session, where the
# prefix's bin/ may not be on PATH), and adds them to the install manifest.
# Set before: VEXEL_BINDIR, VEXEL_DATADIR, VEXEL_SUSHI_VIEWER and
# VEXEL_SUSHI_PLUGIN (the sources).
foreach(dir VEXEL_BINDIR VEXEL_DATADIR)
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
