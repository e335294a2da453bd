# zu_gui: the dialogs, the application shell and the resources; everything of
# the program but main(). zentavo-update links it with the real library, the
# GUI tests with the scripted fake.
add_library(zu_gui STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/UpdaterApp.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ShowMessage.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/Help.cpp
  ${CMAKE_SOURCE_DIR}/ui/DialogTemplateUnits.cpp
  ${CMAKE_SOURCE_DIR}/ui/DialogTemplateDialog.cpp
  ${CMAKE_SOURCE_DIR}/ui/AboutDialog.cpp
  ${CMAKE_SOURCE_DIR}/ui/UpdateDialog.cpp
  ${CMAKE_SOURCE_DIR}/ui/UpdateDialogUpload.cpp
  ${CMAKE_SOURCE_DIR}/ui/UploadJob.cpp
  ${CMAKE_SOURCE_DIR}/ui/GuiHandOver.cpp
  ${CMAKE_SOURCE_DIR}/res/DialogTemplates.cpp
  ${CMAKE_SOURCE_DIR}/res/StringTable.cpp
  ${CMAKE_SOURCE_DIR}/res/AppIcon.cpp
  ${CMAKE_SOURCE_DIR}/res/updater.qrc)
target_include_directories(zu_gui PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/ui ${CMAKE_SOURCE_DIR}/res)
target_link_libraries(zu_gui PUBLIC zu_core Qt6::Widgets PRIVATE zu_warnings)
if(WIN32)
  target_link_libraries(zu_gui PRIVATE user32)
endif()

# The help page sits next to the executable under the executable's own name.
set(ZU_HELP_PAGE_OUT ${CMAKE_BINARY_DIR}/bin/zentavo-update.html)
add_custom_command(OUTPUT ${ZU_HELP_PAGE_OUT}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/res/zentavo-update.html ${ZU_HELP_PAGE_OUT}
  DEPENDS ${CMAKE_SOURCE_DIR}/res/zentavo-update.html
  VERBATIM)
add_custom_target(zu_help_page DEPENDS ${ZU_HELP_PAGE_OUT})

add_executable(zentavo-update WIN32 ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
# zu_core is named again so the library comes after the code that calls it.
target_link_libraries(zentavo-update PRIVATE zu_gui zu_core zu_warnings)
if(TARGET TestDll)
  target_link_libraries(zentavo-update PRIVATE TestDll)
endif()
add_dependencies(zentavo-update zu_help_page)
