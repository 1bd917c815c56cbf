# convert_lame: the MP3 encoder component. LAME is opened at run time by its soname (libmp3lame.so.0), so
# only its header is used here and the library is not linked.
add_library(convert_lame STATIC ${CMAKE_CURRENT_SOURCE_DIR}/ACS_LAME.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ACS_LAME.h
  ${CMAKE_CURRENT_SOURCE_DIR}/LameLib.h)
find_path(MEROLUNE_LAME_INCLUDE_DIR lame/lame.h REQUIRED)
target_include_directories(convert_lame PRIVATE ${MEROLUNE_LAME_INCLUDE_DIR})
target_link_libraries(convert_lame PUBLIC convert_core)
set_target_properties(convert_lame PROPERTIES AUTOMOC ON)
merolune_warnings(convert_lame)
