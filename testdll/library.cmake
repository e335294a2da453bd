# libTestDll.so, our stand-in for the device maker's library. POSIX only: the
# Windows build of the updater links the vendor's DLL instead of this one.
find_package(Threads REQUIRED)

set(testdll_sources
  ${CMAKE_CURRENT_LIST_DIR}/TestDll.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibConfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Endpoints.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Discovery.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UploadSession.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UploadRunner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SerialPort.cpp)
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/FileInfo.cpp)
  list(APPEND testdll_sources ${CMAKE_CURRENT_LIST_DIR}/FileInfo.cpp)
endif()

if(TARGET sdproto)
  add_library(TestDll SHARED ${testdll_sources})
  set_target_properties(TestDll PROPERTIES
    OUTPUT_NAME TestDll
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/exports.map)
  target_compile_definitions(TestDll PRIVATE TESTDLL_BUILDING)
  target_link_options(TestDll PRIVATE "LINKER:--version-script=${CMAKE_CURRENT_LIST_DIR}/exports.map")
  if(NOT ZU_SANITIZE)
    # Every symbol resolved at link time, so a missing source shows here, not in the updater.
    target_link_options(TestDll PRIVATE "LINKER:--no-undefined")
  endif()
  target_link_libraries(TestDll PUBLIC devlib PRIVATE sdproto fwimage Threads::Threads zu_warnings)
endif()
