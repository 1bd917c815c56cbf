# convert_flac: the FLAC components and the run-time binding of libFLAC. Only libFLAC's headers are
# used at build time; the library itself is opened by soname when the program runs, so it is not linked.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MEROLUNE_LIBFLAC REQUIRED flac)

add_library(convert_flac STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/ACS_FLAC.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ACS_FLAC.h
  ${CMAKE_CURRENT_SOURCE_DIR}/FLACLib.h)
target_link_libraries(convert_flac PUBLIC convert_core)
target_include_directories(convert_flac SYSTEM PRIVATE ${MEROLUNE_LIBFLAC_INCLUDE_DIRS})
target_compile_options(convert_flac PRIVATE ${MEROLUNE_LIBFLAC_CFLAGS_OTHER})
set_target_properties(convert_flac PROPERTIES AUTOMOC ON)
merolune_warnings(convert_flac)
