# qdlgen_layer(NAME [DEPENDS layer...] [LIBRARIES lib...])
#
# One subsystem of the tool: a static library qdlgen_NAME built from the
# .cpp files of src/NAME, linking only the layers it may use. Its sources may
# include headers of its own directory and of the layers it depends on
# (directly or through them); an include of any other src/ directory stops
# the configuration, so a dependency the wrong way never builds.
function(qdlgen_layer name)
  cmake_parse_arguments(LAYER "" "" "DEPENDS;LIBRARIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  set(target qdlgen_${name})
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)

  set(reachable ${name})
  foreach(dependency IN LISTS LAYER_DEPENDS)
    target_link_libraries(${target} PUBLIC qdlgen_${dependency})
    get_target_property(below qdlgen_${dependency} QDLGEN_REACHABLE)
    list(APPEND reachable ${below})
  endforeach()
  list(REMOVE_DUPLICATES reachable)
  set_target_properties(${target} PROPERTIES QDLGEN_REACHABLE "${reachable}")
  if(LAYER_LIBRARIES)
    target_link_libraries(${target} PUBLIC ${LAYER_LIBRARIES})
  endif()

  foreach(file IN LISTS sources headers)
    file(STRINGS ${file} includes REGEX "^#include \"[A-Za-z0-9_]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([A-Za-z0-9_]+)/.*" "\\1" used "${line}")
      if(NOT used IN_LIST reachable)
        file(RELATIVE_PATH shown ${PROJECT_SOURCE_DIR} ${file})
        message(FATAL_ERROR "${shown} includes ${used}/, which the ${name} layer may not use "
                            "(it may use: ${reachable})")
      endif()
    endforeach()
  endforeach()
endfunction()
