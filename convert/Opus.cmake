# convert_opus: the Ogg Opus output over libopusenc, opened by soname when the component is made;
# only its headers (and libopus's, for the encoder's requests) are used at build time.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MEROLUNE_OPUSENC REQUIRED libopusenc opus)

add_library(convert_opus STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/ACS_Opus.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ACS_Opus.h
  ${CMAKE_CURRENT_SOURCE_DIR}/OpusEncLib.h)
target_link_libraries(convert_opus PUBLIC convert_core)
target_include_directories(convert_opus SYSTEM PRIVATE ${MEROLUNE_OPUSENC_INCLUDE_DIRS})
target_compile_options(convert_opus PRIVATE ${MEROLUNE_OPUSENC_CFLAGS_OTHER})
set_target_properties(convert_opus PROPERTIES AUTOMOC ON)
merolune_warnings(convert_opus)
