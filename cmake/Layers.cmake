# Every include names its folder ("core/DeviceList.h"), and a target reaches a folder
# only through a link to that folder's target: zu_layer() gives each folder an include
# root of its own in the build tree that holds nothing but a link to that folder, and
# adds it to the target's include directories with the scope given. A folder that its
# target does not hand on stays out of reach, so a wrong include fails the build.
#   zu_layer(<target> <PUBLIC|PRIVATE|INTERFACE> <folder or file>)
# A file makes only that one header reachable (devlib/TestDll.h for the updater).
function(zu_layer target scope path)
  if(WIN32)
    # Links need privileges there: the repository root serves, unchecked.
    target_include_directories(${target} ${scope} ${PROJECT_SOURCE_DIR})
    return()
  endif()
  string(REPLACE "/" "_" name "${path}")
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  get_filename_component(parent "${root}/${path}" DIRECTORY)
  file(MAKE_DIRECTORY "${parent}")
  if(NOT EXISTS "${root}/${path}")
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${path}" "${root}/${path}" SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()
