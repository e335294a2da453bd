# Tests never see the user's own settings, and GUI tests never need a display.
set(ZU_TEST_CONFIG_HOME ${CMAKE_BINARY_DIR}/test-config)
set(ZU_TEST_STATE_HOME ${CMAKE_BINARY_DIR}/test-state)
file(MAKE_DIRECTORY ${ZU_TEST_CONFIG_HOME} ${ZU_TEST_STATE_HOME})

function(zu_test_environment test_name)
  set_property(TEST ${test_name} APPEND PROPERTY ENVIRONMENT
    "XDG_CONFIG_HOME=${ZU_TEST_CONFIG_HOME}"
    "XDG_STATE_HOME=${ZU_TEST_STATE_HOME}"
    "QT_QPA_PLATFORM=offscreen"
    "ZU_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
    "ZU_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

# zu_add_test(NAME name COMMAND cmd args... [LABELS l...])
function(zu_add_test)
  cmake_parse_arguments(T "" "NAME" "COMMAND;LABELS" ${ARGN})
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  zu_test_environment(${T_NAME})
  if(T_LABELS)
    set_property(TEST ${T_NAME} APPEND PROPERTY LABELS ${T_LABELS})
  endif()
endfunction()
