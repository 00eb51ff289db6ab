# What an application builds against after installation: a CMake package
# (find_package(zelcomm)), pkg-config files, the examples' sources and the
# manual pages. Every path in them is relative to the file's own place, so
# an installed tree can be moved as a whole.
include(CMakePackageConfigHelpers)

set(ZEL_INSTALL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zelcomm)
set(ZEL_INSTALL_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# zel_pc_dir(OUT DIR): DIR for a pkg-config file, under its ${prefix}
# unless absolute.
function(zel_pc_dir out dir)
  if(IS_ABSOLUTE ${dir})
    set(${out} ${dir} PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# The CMake package: imported targets for the component (with the headers),
# the platform library of zelapp.h, the request processor, and zelcomm, the
# two an application links.
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zelcommConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/zelcommConfig.cmake
                              INSTALL_DESTINATION ${ZEL_INSTALL_CMAKE_DIR}
                              PATH_VARS ZEL_INSTALL_LIB_DIR ZEL_INSTALL_INCLUDE_DIR
                                        ZEL_INSTALL_SHARED_DIR
                              NO_SET_AND_CHECK_MACRO NO_CHECK_REQUIRED_COMPONENTS_MACRO)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zelcommConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zelcommConfig.cmake
              ${CMAKE_BINARY_DIR}/zelcommConfigVersion.cmake
        DESTINATION ${ZEL_INSTALL_CMAKE_DIR})

# pkg-config: zelcomm for applications, zelcomm-vqzmctw for PC programs that
# register with the request processor.
file(RELATIVE_PATH ZEL_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${ZEL_INSTALL_PKGCONFIG_DIR}
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZEL_PC_TO_PREFIX ${ZEL_PC_TO_PREFIX})
zel_pc_dir(ZEL_PC_LIB_DIR ${ZEL_INSTALL_LIB_DIR})
zel_pc_dir(ZEL_PC_INCLUDE_DIR ${ZEL_INSTALL_INCLUDE_DIR})
zel_pc_dir(ZEL_PC_SHARED_DIR ${ZEL_INSTALL_SHARED_DIR})
foreach(pc zelcomm zelcomm-vqzmctw)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${ZEL_INSTALL_PKGCONFIG_DIR})
endforeach()

# The examples' sources, to build on their own with CMake or make.
install(FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
              ${PROJECT_SOURCE_DIR}/examples/Makefile
              ${PROJECT_SOURCE_DIR}/examples/sync_call.c
              ${PROJECT_SOURCE_DIR}/examples/async_echo.c
              ${PROJECT_SOURCE_DIR}/examples/pc_program.c
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

install(FILES ${PROJECT_SOURCE_DIR}/man/zel.1 ${PROJECT_SOURCE_DIR}/man/zelhost.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
