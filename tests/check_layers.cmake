# Fails when an #include of the product's sources points against the order
# of the layers (run by CTest: cmake -DROOT=<source dir> -P check_layers.cmake).
#
#   base -> platform -> services (client libraries) -> component -> programs
#
# wire/ is the format the client libraries, the host link and the host
# server share; it uses base/ only. Within the component (ctrlblk, convert,
# hostlink, dataqueue, manager, api) subsystems may use one another. The
# programs reach the component only through the public headers of include/,
# and the host server uses nothing of the client side.

cmake_minimum_required(VERSION 3.25)

set(component ctrlblk convert hostlink dataqueue manager api)
set(allowed_base base)
set(allowed_wire wire base)
set(allowed_platform platform base)
set(allowed_services services wire platform base)
set(allowed_include include)
foreach(folder ${component})
  set(allowed_${folder} ${component} include services wire platform base)
endforeach()
set(allowed_cpmgr cpmgr include services platform base)
set(allowed_reqproc reqproc include services platform base)
set(allowed_tools tools include services platform base)
set(allowed_msglib msglib include base)
set(allowed_host host wire base)
set(layered base wire platform services include ${component} cpmgr reqproc tools msglib host)
# The platform layer's public header for applications lives with the other
# public headers; it uses vqzmrc.h only.
set(platform_public zelapp.h vqzmrc.h)

set(violations "")
foreach(folder ${layered})
  file(GLOB_RECURSE sources RELATIVE ${ROOT} ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.cpp
       ${ROOT}/${folder}/*.c)
  foreach(source ${sources})
    file(STRINGS ${ROOT}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" target "${line}")
      if(target MATCHES "^([a-z_]+)/")
        set(to ${CMAKE_MATCH_1})
      elseif(EXISTS ${ROOT}/include/${target})
        set(to include)
      else()
        continue()  # a file beside the source, or a system header
      endif()
      if(NOT to IN_LIST layered)
        continue()
      endif()
      if(folder STREQUAL "platform" AND target IN_LIST platform_public)
        continue()
      endif()
      if(NOT to IN_LIST allowed_${folder})
        string(APPEND violations "  ${source}: #include \"${target}\" (${folder} may not use ${to})\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "includes against the order of the layers:\n${violations}")
endif()
message(STATUS "every include follows the order of the layers")
