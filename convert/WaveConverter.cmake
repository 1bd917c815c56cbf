# MPEG layer 3 inside WAV files (format tag 85): TWaveIn has TWaveConverter decode it with libmpg123,
# linked normally (Debian's libmpg123 is always there, unlike the codecs opened by soname).
find_package(PkgConfig REQUIRED)
pkg_check_modules(WAVECONVERTER_MPG123 REQUIRED IMPORTED_TARGET libmpg123)
target_sources(convert_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/WaveConverter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WaveConverter.h)
target_link_libraries(convert_core PRIVATE PkgConfig::WAVECONVERTER_MPG123)
