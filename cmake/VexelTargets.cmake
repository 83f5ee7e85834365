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
