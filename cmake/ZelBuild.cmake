# Build conventions shared by every target of the tree.
#
# The build tree mirrors the installed tree (lib/, bin/, SHARED/, msg/), so
# tests and the demonstration run from the build tree exactly as they run
# from an installation, and ZEL_HOME defaults to the build directory there.

set(ZEL_LIB_DIR lib)
set(ZEL_BIN_DIR bin)
set(ZEL_SHARED_DIR SHARED)
set(ZEL_MSG_DIR msg)
set(ZEL_INCLUDE_DIR include)

set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${ZEL_LIB_DIR})
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${ZEL_BIN_DIR})
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/archive)

# Every binary finds its libraries relative to itself, in the build tree and
# after installation alike.
set(CMAKE_BUILD_WITH_INSTALL_RPATH ON)
set(CMAKE_INSTALL_RPATH "$ORIGIN/../${ZEL_LIB_DIR}")

# Nothing is exported unless it is marked; the component's own export list is
# enforced further by its version script.
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

if(ZEL_SANITIZE AND ZEL_TSAN)
  message(FATAL_ERROR "ZEL_SANITIZE and ZEL_TSAN cannot be combined")
endif()
if(ZEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(ZEL_SANITIZED=1)
endif()
if(ZEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR ZEL_SANITIZE OR ZEL_TSAN)
    message(FATAL_ERROR "ZEL_FUZZ needs clang and excludes ZEL_SANITIZE and ZEL_TSAN")
  endif()
  # Coverage for the fuzzer in all our code; the sanitizer runtime is shared
  # so that the libraries (linked with --no-undefined) can use it too.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.asan-x86_64.so
                  OUTPUT_VARIABLE zel_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(zel_sanitizer_dir ${zel_asan_runtime} DIRECTORY)
  add_link_options(-fsanitize=address,undefined -shared-libsan
                   -Wl,-rpath,${zel_sanitizer_dir})
  add_compile_definitions(ZEL_SANITIZED=1)
endif()
if(ZEL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(ZEL_SANITIZED=1)
endif()

# Our own code builds warning-free; third-party headers are not held to it.
# Warnings are errors only with ZEL_WERROR (the project's own builds).
function(zel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ZEL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# A shared library of the product: warnings, SONAME and installation under lib/.
function(zel_shared_library target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  zel_warnings(${target})
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION}
                                             SOVERSION ${PROJECT_VERSION_MAJOR})
  target_link_options(${target} PRIVATE -Wl,--no-undefined)
  install(TARGETS ${target}
          LIBRARY DESTINATION ${ZEL_LIB_DIR})
endfunction()
