# Build conventions shared by every target of the tree.
#
# The build tree (lib/, bin/, SHARED/, msg/ side by side) is a home of its
# own: tests and the demonstration run from it as from an installation, and
# ZEL_HOME defaults to the build directory there.

set(ZEL_LIB_DIR lib)
set(ZEL_BIN_DIR bin)
set(ZEL_SHARED_DIR SHARED)
set(ZEL_MSG_DIR msg)
set(ZEL_INCLUDE_DIR include)

set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${ZEL_LIB_DIR})
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${ZEL_BIN_DIR})
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/archive)

# The installed tree follows GNUInstallDirs: programs in bindir, the
# libraries in libdir, the headers in includedir/zelcomm. The system's own
# files keep their names in the package directory libdir/zelcomm, which is
# ZEL_HOME there: SHARED/ (the manager and the request processor), msg/ (the
# message library) and lib/ (the language library, loaded from ZEL_HOME's
# lib/). The component finds it beside the library directory it is loaded
# from (base/config/config.cpp).
set(ZEL_INSTALL_BIN_DIR ${CMAKE_INSTALL_BINDIR})
set(ZEL_INSTALL_LIB_DIR ${CMAKE_INSTALL_LIBDIR})
set(ZEL_INSTALL_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/zelcomm)
set(ZEL_INSTALL_HOME_DIR ${CMAKE_INSTALL_LIBDIR}/zelcomm)
set(ZEL_INSTALL_SHARED_DIR ${ZEL_INSTALL_HOME_DIR}/SHARED)
set(ZEL_INSTALL_MSG_DIR ${ZEL_INSTALL_HOME_DIR}/msg)
set(ZEL_INSTALL_HOME_LIB_DIR ${ZEL_INSTALL_HOME_DIR}/lib)

# Run paths. The build tree's are CMake's own (absolute, to the libraries a
# target links); installing rewrites them to these, relative to $ORIGIN, so
# that an installed tree can be moved as a whole. A program in bindir finds
# libdir; a library in libdir its neighbours; what lies in a folder of the
# package directory (SHARED/, msg/, lib/) the libdir two levels up.
function(zel_origin_rpath out from_dir)
  file(RELATIVE_PATH relative ${from_dir} ${CMAKE_INSTALL_FULL_LIBDIR})
  string(REGEX REPLACE "/$" "" relative "${relative}")
  if(relative STREQUAL "")
    set(${out} "$ORIGIN" PARENT_SCOPE)
  else()
    set(${out} "$ORIGIN/${relative}" PARENT_SCOPE)
  endif()
endfunction()
zel_origin_rpath(CMAKE_INSTALL_RPATH ${CMAKE_INSTALL_FULL_BINDIR})
zel_origin_rpath(ZEL_LIB_RPATH ${CMAKE_INSTALL_FULL_LIBDIR})
zel_origin_rpath(ZEL_HOME_RPATH ${CMAKE_INSTALL_FULL_LIBDIR}/zelcomm/SHARED)
# A program in bindir finds the package directory this way (base/config).
file(RELATIVE_PATH ZEL_LIBDIR_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
string(REGEX REPLACE "/$" "" ZEL_LIBDIR_FROM_BINDIR "${ZEL_LIBDIR_FROM_BINDIR}")

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
  # GCC 12 at -O3 reports overlaps and bounds inside libstdc++'s inlined
  # string and vector copies that no input can reach; GCC 13 no longer does.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE "$<$<CONFIG:Release>:-Wno-restrict;-Wno-array-bounds>")
  endif()
  if(ZEL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# A shared library of the product: warnings, SONAME and installation in libdir.
function(zel_shared_library target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  zel_warnings(${target})
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION}
                                             SOVERSION ${PROJECT_VERSION_MAJOR}
                                             INSTALL_RPATH ${ZEL_LIB_RPATH})
  target_link_options(${target} PRIVATE -Wl,--no-undefined)
  install(TARGETS ${target}
          LIBRARY DESTINATION ${ZEL_INSTALL_LIB_DIR})
endfunction()
