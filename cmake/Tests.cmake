# Where the lab tests find their Python modules: their own and the lab's (tools/lab). Each lab test's ENVIRONMENT
# gives it as PYTHONPATH.
set(CAMERA_SETUP_LAB_PYTHONPATH "${PROJECT_SOURCE_DIR}/tests/lab:${PROJECT_SOURCE_DIR}/tools/lab")

# camera_setup_test(TARGET SOURCES file... [LINK library...] [WIDGET] [NO_MAIN] [LABEL label]
#                   [DISCOVERY_MODE mode] [PROPERTIES name value...])
#
# A GoogleTest program with the shared test support (tests/support): linked against gtest_main, or with WIDGET
# against widget_test_main (one QApplication, offscreen) and QtTest; NO_MAIN for a program with a main of its own.
# Its tests are discovered with the label (default: unit, or widget for WIDGET) and the properties given; a widget
# program's run offscreen.
function(camera_setup_test target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "WIDGET;NO_MAIN" "LABEL;DISCOVERY_MODE" "SOURCES;LINK;PROPERTIES")
  add_executable(${target} ${arg_SOURCES})
  set(label unit)
  set(properties ${arg_PROPERTIES})
  if(arg_WIDGET)
    set(label widget)
    set(main widget_test_main Qt6::Test)
    list(APPEND properties ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  elseif(NOT arg_NO_MAIN)
    set(main GTest::gtest_main)
  endif()
  if(arg_LABEL)
    set(label ${arg_LABEL})
  endif()
  target_link_libraries(${target} PRIVATE ${arg_LINK} ${main} test_support)
  set(mode)
  if(arg_DISCOVERY_MODE)
    set(mode DISCOVERY_MODE ${arg_DISCOVERY_MODE})
  endif()
  gtest_discover_tests(${target} ${mode} PROPERTIES LABELS ${label} ${properties})
endfunction()
