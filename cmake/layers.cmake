# The include rule of src/: a file may include headers of its own layer and of
# the layers below it. An include that runs upward, a folder that is no layer,
# or Python reached from below the Python face stops the configure, naming the
# file and line. Every source is a configure dependency, so an edit that breaks
# the rule is caught by the next build.

# turnsmith_check_layers(SRC_DIR LAYER...): LAYERs bottom first; the last is
# the Python face, the only one that may include <Python.h>.
function(turnsmith_check_layers src_dir)
  set(layers ${ARGN})
  list(GET layers -1 python_face)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS RELATIVE "${src_dir}" "${src_dir}/*.hpp" "${src_dir}/*.cpp")
  set(faults "")
  foreach(file IN LISTS files)
    string(REGEX MATCH "^[^/]+" own "${file}")
    list(FIND layers "${own}" own_rank)
    if(own_rank EQUAL -1)
      list(APPEND faults "src/${file}: the folder ${own} is not a layer (${layers})")
      continue()
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${src_dir}/${file}")
    file(STRINGS "${src_dir}/${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    foreach(line IN LISTS includes)
      if(line MATCHES "[\"<]Python\\.h[\">]" AND NOT own STREQUAL python_face)
        list(APPEND faults "src/${file}: includes Python below the Python face: ${line}")
      elseif(line MATCHES "\"([^/\"]+)/[^\"]+\"")
        list(FIND layers "${CMAKE_MATCH_1}" rank)
        if(rank GREATER own_rank)
          list(APPEND faults "src/${file}: ${own} includes ${CMAKE_MATCH_1}, a layer above it: ${line}")
        elseif(rank EQUAL -1)
          list(APPEND faults "src/${file}: includes a folder that is no layer: ${line}")
        endif()
      endif()
    endforeach()
  endforeach()
  if(faults)
    list(JOIN faults "\n  " listed)
    message(FATAL_ERROR "includes must run down the layers (${layers}), bottom first:\n  ${listed}")
  endif()
endfunction()
