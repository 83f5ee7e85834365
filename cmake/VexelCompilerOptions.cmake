# Warning and sanitizer switches shared by every target of the project.
include(CheckCXXCompilerFlag)

set(VEXEL_WARNING_FLAGS
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
  -Wnon-virtual-dtor -Wformat=2 -Wundef -Wmissing-declarations -Wcast-qual
  # GCC 12 also warns about members that a designated initializer leaves to
  # their defaults, which is how records with optional fields are written.
  -Wno-missing-field-initializers)
# GCC 12's libstdc++ inlines `"literal" + std::string` at -O2/-O3 into a
# memcpy that -Wrestrict takes for an overlap (GCC bug 105329, fixed in 13).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND VEXEL_WARNING_FLAGS -Wno-restrict)
endif()

# A unity build includes each source into a batch file, where GCC takes the
# types a source keeps in its anonymous namespace for a header's and warns
# about each class that holds one.
if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND VEXEL_WARNING_FLAGS -Wno-subobject-linkage)
endif()

set(VEXEL_SANITIZER_FLAGS "")
if(VEXEL_SANITIZE)
  foreach(flag -fsanitize=address -fsanitize=undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    string(MAKE_C_IDENTIFIER "HAS${flag}" var)
    set(CMAKE_REQUIRED_LINK_OPTIONS ${flag})
    check_cxx_compiler_flag(${flag} ${var})
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    # A build asked to check memory that quietly does not is worse than none.
    if(NOT ${var})
      message(FATAL_ERROR "VEXEL_SANITIZE: ${CMAKE_CXX_COMPILER} does not take ${flag}")
    endif()
    list(APPEND VEXEL_SANITIZER_FLAGS ${flag})
  endforeach()
endif()
if(VEXEL_TSAN)
  set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=thread)
  check_cxx_compiler_flag(-fsanitize=thread HAS_FSANITIZE_THREAD)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NOT HAS_FSANITIZE_THREAD)
    message(FATAL_ERROR "VEXEL_TSAN: ${CMAKE_CXX_COMPILER} does not take -fsanitize=thread")
  endif()
  list(APPEND VEXEL_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
if(VEXEL_SANITIZER_FLAGS)
  add_compile_options(${VEXEL_SANITIZER_FLAGS})
  add_link_options(${VEXEL_SANITIZER_FLAGS})
endif()

# vexel_set_warnings(target): the project's warning set, as errors when VEXEL_WERROR is on.
function(vexel_set_warnings target)
  target_compile_options(${target} PRIVATE ${VEXEL_WARNING_FLAGS})
  if(VEXEL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# Fuzzing builds instrument the whole project for coverage and sanitizers;
# only the fuzz targets link libFuzzer's main.
if(VEXEL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
