# convert_vorbis: the Ogg Vorbis components and the run-time bindings of libogg, libvorbis, vorbisfile
# and vorbisenc. Only the libraries' headers are used at build time: the libraries are opened with
# dlopen when the program runs, so a missing one is a message, not a failed start.
find_package(PkgConfig REQUIRED)
pkg_check_modules(OGG_VORBIS REQUIRED ogg vorbis vorbisfile vorbisenc)

add_library(convert_vorbis STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/ACS_Vorbis.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ACS_Vorbis.h
  ${CMAKE_CURRENT_SOURCE_DIR}/OggVorbisLib.h)
target_include_directories(convert_vorbis PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_include_directories(convert_vorbis SYSTEM PRIVATE ${OGG_VORBIS_INCLUDE_DIRS})
target_compile_options(convert_vorbis PRIVATE ${OGG_VORBIS_CFLAGS_OTHER})
target_link_libraries(convert_vorbis PUBLIC convert_core)
set_target_properties(convert_vorbis PROPERTIES AUTOMOC ON)
merolune_warnings(convert_vorbis)
