# The program's layers: one static library per folder (the credentials dialog
# is built with the windows it belongs to), each standing on those it USES.
# quillfold_check_layers() makes the build fail when a source includes a
# header of a library it does not stand on, directly or through another.

# quillfold_library(NAME SOURCES files... [USES libraries...] [LINK targets...])
function(quillfold_library name)
  cmake_parse_arguments(LIBRARY "" "" "SOURCES;USES;LINK" ${ARGN})
  add_library(${name} STATIC ${LIBRARY_SOURCES})
  target_link_libraries(${name} PUBLIC ${LIBRARY_USES} ${LIBRARY_LINK})
  set_property(GLOBAL APPEND PROPERTY QUILLFOLD_LAYERS ${name})
  set_property(GLOBAL PROPERTY QUILLFOLD_USES_${name} ${LIBRARY_USES})
endfunction()

# Every library a layer stands on, itself included.
function(_quillfold_below name out)
  set(below ${name})
  get_property(uses GLOBAL PROPERTY QUILLFOLD_USES_${name})
  foreach(used IN LISTS uses)
    _quillfold_below(${used} more)
    list(APPEND below ${more})
  endforeach()
  list(REMOVE_DUPLICATES below)
  set(${out} ${below} PARENT_SCOPE)
endfunction()

# quillfold_check_layers(executable...): writes which files each layer (and
# each program) has and which layers it may include from, and checks every
# build that no include runs up; the libraries are built only after it.
function(quillfold_check_layers)
  get_property(layers GLOBAL PROPERTY QUILLFOLD_LAYERS)
  set(manifest "")
  set(all_sources "")
  foreach(target IN LISTS layers ARGN)
    get_target_property(sources ${target} SOURCES)
    set(files "")
    foreach(source IN LISTS sources)
      if(source MATCHES "\\.(h|cpp)$")
        get_filename_component(path ${source} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
        list(APPEND files ${path})
      endif()
    endforeach()
    if(target IN_LIST layers)
      _quillfold_below(${target} allowed)
    else()
      get_target_property(links ${target} LINK_LIBRARIES)
      set(allowed ${target})
      foreach(linked IN LISTS links)
        if(linked IN_LIST layers)
          _quillfold_below(${linked} more)
          list(APPEND allowed ${more})
        endif()
      endforeach()
    endif()
    string(APPEND manifest "set(FILES_${target} \"${files}\")\nset(ALLOWED_${target} \"${allowed}\")\n")
    list(APPEND all_sources ${files})
  endforeach()
  string(APPEND manifest "set(TARGETS \"${layers};${ARGN}\")\nset(ROOT \"${CMAKE_SOURCE_DIR}\")\n")
  file(WRITE ${CMAKE_BINARY_DIR}/layers-manifest.cmake "${manifest}")
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/layers.checked
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${CMAKE_BINARY_DIR}/layers-manifest.cmake
            -P ${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/layers.checked
    DEPENDS ${all_sources} ${CMAKE_BINARY_DIR}/layers-manifest.cmake ${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake
    COMMENT "Checking that no include runs up the layers"
    VERBATIM)
  add_custom_target(quillfold_layers DEPENDS ${CMAKE_BINARY_DIR}/layers.checked)
  foreach(target IN LISTS layers ARGN)
    add_dependencies(${target} quillfold_layers)
  endforeach()
endfunction()
