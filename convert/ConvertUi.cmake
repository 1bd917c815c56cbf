# convert_ui: the conversion service's windows, the encoding settings dialog and the two banners,
# over Qt Widgets and the custom controls.
add_library(convert_ui STATIC EncsetDlg.cpp EncsetDlg.h Banners.cpp Banners.h)
target_include_directories(convert_ui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(convert_ui PUBLIC dialogs Qt6::Widgets)
set_target_properties(convert_ui PROPERTIES AUTOMOC ON)
merolune_warnings(convert_ui)

if(MEROLUNE_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  foreach(name EncsetDlg_test Banners_test)
    add_executable(${name} ${PROJECT_SOURCE_DIR}/tests/convert_ui/${name}.cpp)
    target_link_libraries(${name} PRIVATE convert_ui test_support_ui Qt6::Test)
    merolune_warnings(${name})
    gtest_discover_tests(${name} PROPERTIES LABELS ui ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                         DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST)
  endforeach()
endif()
