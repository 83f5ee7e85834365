# vexel_public_headers(target COMPONENT name [BASE folder] HEADERS file...)
#
# Users of `target` include the listed headers as "name/file.h" and can reach
# nothing else of its folder. The exported include root is a folder of links
# in the build tree holding just those headers, so an include of another
# target's internal/ header fails to build. The target's own sources reach
# their internal/ headers through their source folder (BASE, by default the
# current one; headers are named relative to it), which stays private.
function(vexel_public_headers target)
  cmake_parse_arguments(ARG "" "COMPONENT;BASE" "HEADERS" ${ARGN})
  set(base ${CMAKE_CURRENT_SOURCE_DIR})
  if(ARG_BASE)
    set(base ${base}/${ARG_BASE})
  endif()
  if(NOT ARG_COMPONENT OR NOT ARG_HEADERS)
    message(FATAL_ERROR "vexel_public_headers(${target}): COMPONENT and HEADERS are required")
  endif()
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${ARG_COMPONENT})
  foreach(header IN LISTS ARG_HEADERS)
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${base}/${header} ${root}/${ARG_COMPONENT}/${name}
         SYMBOLIC)
  endforeach()
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${root}>
    PRIVATE ${base})
endfunction()

# vexel_embed_files(target NAMESPACE ns FUNCTION name HEADER header
#                   [BASE folder] FILES file...)
#
# Compiles the bytes of the listed files (named relative to BASE, by default
# the current source folder) into `target`. A generated source defines
#   std::span<const EmbeddedFile> ns::name();
# returning each file as {path, bytes} in the order listed; `header` (as the
# target's sources include it) declares that function and
#   struct EmbeddedFile { std::string_view path; std::string_view bytes; };
# The build regenerates the source when a listed file changes, with CMake
# alone (cmake/VexelEmbedFiles.cmake), under every generator.
function(vexel_embed_files target)
  cmake_parse_arguments(ARG "" "NAMESPACE;FUNCTION;HEADER;BASE" "FILES" ${ARGN})
  if(NOT ARG_NAMESPACE OR NOT ARG_FUNCTION OR NOT ARG_HEADER OR NOT ARG_FILES)
    message(FATAL_ERROR
      "vexel_embed_files(${target}): NAMESPACE, FUNCTION, HEADER and FILES are required")
  endif()
  set(base ${CMAKE_CURRENT_SOURCE_DIR})
  if(ARG_BASE)
    set(base ${base}/${ARG_BASE})
  endif()
  set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/VexelEmbedFiles.cmake)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_${ARG_FUNCTION}.cpp)
  set(inputs)
  foreach(file IN LISTS ARG_FILES)
    list(APPEND inputs ${base}/${file})
  endforeach()
  # A list would not survive the command line as one argument.
  string(REPLACE ";" "|" files "${ARG_FILES}")
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} -DBASE=${base} -DFILES=${files}
            -DNAMESPACE=${ARG_NAMESPACE} -DFUNCTION=${ARG_FUNCTION} -DHEADER=${ARG_HEADER}
            -P ${script}
    DEPENDS ${inputs} ${script}
    COMMENT "Embedding ${ARG_FUNCTION}() files into ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()

# vexel_qt_plugins_below_prefix(qt_major out_var)
#
# Qt's plug-in folder relative to its install prefix (lib/x86_64-linux-gnu/
# qt5/plugins on Debian): Qt finds plug-ins there and in QT_PLUGIN_PATH, so
# an install under Qt's own prefix (/usr for a Debian package) is found.
# Qt 6 says so itself; Qt 5's qmake is asked. Fails when neither answers.
function(vexel_qt_plugins_below_prefix qt_major out_var)
  if(qt_major EQUAL 6)
    set(below ${QT6_INSTALL_PLUGINS})
  else()
    get_target_property(qmake Qt5::qmake IMPORTED_LOCATION)
    execute_process(COMMAND ${qmake} -query QT_INSTALL_PLUGINS
      OUTPUT_VARIABLE qt_plugins OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${qmake} -query QT_INSTALL_PREFIX
      OUTPUT_VARIABLE qt_prefix OUTPUT_STRIP_TRAILING_WHITESPACE)
    file(RELATIVE_PATH below ${qt_prefix} ${qt_plugins})
  endif()
  if(NOT below)
    message(FATAL_ERROR "Qt ${qt_major} did not say where its plug-ins go")
  endif()
  set(${out_var} ${below} PARENT_SCOPE)
endfunction()
