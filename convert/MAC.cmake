# convert_mac: the Monkey's Audio components over libmacdll.so, which is opened by soname when a
# component is made (the conversion service makes its components at start); only its header is used
# at build time.
add_library(convert_mac STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/ACS_MAC.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ACS_MAC.h
  ${CMAKE_CURRENT_SOURCE_DIR}/MacDllLib.h)
target_link_libraries(convert_mac PUBLIC convert_core PRIVATE macdll_headers)
set_target_properties(convert_mac PROPERTIES AUTOMOC ON)
merolune_warnings(convert_mac)
