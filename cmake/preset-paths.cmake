# Where another preset's tree puts what this tree tests or installs (the
# Windows player, the browser page), read from CMakePresets.json, so that
# the paths are written in one place.
#   zindle_preset_path(OUT PRESET binaryDir)        the preset's tree
#   zindle_preset_path(OUT PRESET VARIABLE)         one of its cache variables
function(zindle_preset_path out preset key)
  file(READ ${PROJECT_SOURCE_DIR}/CMakePresets.json presets)
  string(JSON count LENGTH "${presets}" configurePresets)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name GET "${presets}" configurePresets ${i} name)
    if(name STREQUAL preset)
      if(key STREQUAL "binaryDir")
        string(JSON value GET "${presets}" configurePresets ${i} binaryDir)
      else()
        string(JSON value GET "${presets}" configurePresets ${i} cacheVariables ${key})
      endif()
      string(REPLACE "\${sourceDir}" "${PROJECT_SOURCE_DIR}" value "${value}")
      set(${out} "${value}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "CMakePresets.json has no preset ${preset}")
endfunction()
