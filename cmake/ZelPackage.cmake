# pkg-config file for applications that build against the installed component.
configure_file(${CMAKE_CURRENT_LIST_DIR}/zelcomm.pc.in ${CMAKE_BINARY_DIR}/zelcomm.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zelcomm.pc DESTINATION ${ZEL_LIB_DIR}/pkgconfig)
