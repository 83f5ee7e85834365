# Writes the source that vexel_embed_files (VexelTargets.cmake) compiles in:
#   cmake -DOUTPUT=file.cpp -DBASE=folder -DFILES=a|b/c -DNAMESPACE=ns
#         -DFUNCTION=name -DHEADER=header -P VexelEmbedFiles.cmake
# Every byte is written as a \x escape, so any content (quotes, NUL bytes,
# invalid UTF-8, "??" trigraph-like runs) comes out exactly.
cmake_minimum_required(VERSION 3.22)

foreach(variable OUTPUT BASE FILES NAMESPACE FUNCTION HEADER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "VexelEmbedFiles.cmake: ${variable} is not set")
  endif()
endforeach()

string(REPLACE "|" ";" files "${FILES}")
string(REPEAT "[0-9a-f]" 64 lineOfHex)  # 32 bytes a line
set(entries "")
foreach(file IN LISTS files)
  if(NOT file MATCHES "^[A-Za-z0-9_./-]+$")
    message(FATAL_ERROR "VexelEmbedFiles.cmake: unsuitable file name \"${file}\"")
  endif()
  file(READ "${BASE}/${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "(${lineOfHex})" "\\1\"\n        \"" hex "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" literal "${hex}")
  string(APPEND entries "    {\"${file}\", std::string_view(\"${literal}\", ${size})},\n")
endforeach()

set(text "// Generated from ${BASE} by VexelEmbedFiles.cmake; edit the files there.
#include \"${HEADER}\"

namespace ${NAMESPACE} {
namespace {

constexpr EmbeddedFile kFiles[] = {
${entries}};

}  // namespace

std::span<const EmbeddedFile> ${FUNCTION}() { return kFiles; }

}  // namespace ${NAMESPACE}
")

file(WRITE "${OUTPUT}" "${text}")
