# zu_core: the updater's window-free logic. It calls the library's Dll*
# operations but links no implementation: the program links TestDll, the
# tests link the scripted fake.
set(ZU_CORE_UI_DIR ${CMAKE_CURRENT_LIST_DIR}/../ui)
add_library(zu_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/SettingsStore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RecentFileList.cpp
  ${ZU_CORE_UI_DIR}/DeviceList.cpp
  ${ZU_CORE_UI_DIR}/FirmwareFile.cpp)
target_include_directories(zu_core PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${ZU_CORE_UI_DIR})
target_link_libraries(zu_core PUBLIC Qt6::Core PRIVATE zu_warnings)
set_target_properties(zu_core PROPERTIES AUTOMOC ON)
