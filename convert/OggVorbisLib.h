#pragma once
// Run-time bindings of libogg, libvorbis, vorbisfile and vorbisenc: the entry points our Vorbis code calls.
//
// This header declares the bindings with the libraries' own prototypes, so it includes their headers;
// include it from .cpp files only (ACS_Vorbis.h does not).

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>
#include <vorbis/vorbisfile.h>

#include "DynamicLibrary.h"

namespace merolune {

// The four libraries, opened by soname once per process, with one function pointer per entry point that
// the Vorbis components call. A pointer stays null when its library is missing or does not export the
// name. Created on first use (a thread-safe static) and kept until the program ends; read-only after
// construction, so any thread may use it.
struct OggVorbisApi {
  OggVorbisApi();
  OggVorbisApi(const OggVorbisApi&) = delete;
  OggVorbisApi& operator=(const OggVorbisApi&) = delete;

  // Opened in dependency order: vorbis needs ogg, vorbisfile and vorbisenc need both.
  DynamicLibrary Ogg{"libogg.so.0"};
  DynamicLibrary Vorbis{"libvorbis.so.0"};
  DynamicLibrary VorbisFile{"libvorbisfile.so.3"};
  DynamicLibrary VorbisEnc{"libvorbisenc.so.2"};

  // libogg
  decltype(&::ogg_stream_init) ogg_stream_init = nullptr;
  decltype(&::ogg_stream_clear) ogg_stream_clear = nullptr;
  decltype(&::ogg_stream_packetin) ogg_stream_packetin = nullptr;
  decltype(&::ogg_stream_pageout) ogg_stream_pageout = nullptr;
  decltype(&::ogg_stream_flush) ogg_stream_flush = nullptr;
  decltype(&::ogg_page_eos) ogg_page_eos = nullptr;
  decltype(&::ogg_page_granulepos) ogg_page_granulepos = nullptr;
  decltype(&::ogg_page_serialno) ogg_page_serialno = nullptr;
  decltype(&::ogg_sync_init) ogg_sync_init = nullptr;
  decltype(&::ogg_sync_clear) ogg_sync_clear = nullptr;
  decltype(&::ogg_sync_buffer) ogg_sync_buffer = nullptr;
  decltype(&::ogg_sync_wrote) ogg_sync_wrote = nullptr;
  decltype(&::ogg_sync_pageseek) ogg_sync_pageseek = nullptr;

  // libvorbis
  decltype(&::vorbis_info_init) vorbis_info_init = nullptr;
  decltype(&::vorbis_info_clear) vorbis_info_clear = nullptr;
  decltype(&::vorbis_comment_init) vorbis_comment_init = nullptr;
  decltype(&::vorbis_comment_add_tag) vorbis_comment_add_tag = nullptr;
  decltype(&::vorbis_comment_clear) vorbis_comment_clear = nullptr;
  decltype(&::vorbis_analysis_init) vorbis_analysis_init = nullptr;
  decltype(&::vorbis_block_init) vorbis_block_init = nullptr;
  decltype(&::vorbis_block_clear) vorbis_block_clear = nullptr;
  decltype(&::vorbis_dsp_clear) vorbis_dsp_clear = nullptr;
  decltype(&::vorbis_analysis_headerout) vorbis_analysis_headerout = nullptr;
  decltype(&::vorbis_analysis_buffer) vorbis_analysis_buffer = nullptr;
  decltype(&::vorbis_analysis_wrote) vorbis_analysis_wrote = nullptr;
  decltype(&::vorbis_analysis_blockout) vorbis_analysis_blockout = nullptr;
  decltype(&::vorbis_analysis) vorbis_analysis = nullptr;
  decltype(&::vorbis_bitrate_addblock) vorbis_bitrate_addblock = nullptr;
  decltype(&::vorbis_bitrate_flushpacket) vorbis_bitrate_flushpacket = nullptr;

  // vorbisfile
  decltype(&::ov_test_callbacks) ov_test_callbacks = nullptr;
  decltype(&::ov_test_open) ov_test_open = nullptr;
  decltype(&::ov_clear) ov_clear = nullptr;
  decltype(&::ov_streams) ov_streams = nullptr;
  decltype(&::ov_serialnumber) ov_serialnumber = nullptr;
  decltype(&::ov_info) ov_info = nullptr;
  decltype(&::ov_comment) ov_comment = nullptr;
  decltype(&::ov_pcm_total) ov_pcm_total = nullptr;
  decltype(&::ov_time_total) ov_time_total = nullptr;
  decltype(&::ov_read) ov_read = nullptr;
  decltype(&::ov_pcm_seek) ov_pcm_seek = nullptr;

  // vorbisenc
  decltype(&::vorbis_encode_init) vorbis_encode_init = nullptr;
  decltype(&::vorbis_encode_setup_vbr) vorbis_encode_setup_vbr = nullptr;
  decltype(&::vorbis_encode_setup_init) vorbis_encode_setup_init = nullptr;

  // Whether each library loaded and exports every entry point above that belongs to it: a library
  // missing one of them is treated as missing, since a null call would crash mid-encoding.
  bool OggUsable = false;
  bool VorbisUsable = false;
  bool VorbisFileUsable = false;
  bool VorbisEncUsable = false;
};

// The process-wide bindings, opened on the first call.
const OggVorbisApi& OggVorbisLibraries();

// Opens the four libraries now, for the program to call at start; never throws.
void LoadOggVorbisLibraries();

// Throws EAuException with the MissingMessage() of the first library that is not usable, checked in
// the order ogg, vorbis, vorbisfile, vorbisenc ("libvorbisenc.so.2 library could not be loaded.").
void RequireOggVorbisLibraries();

}  // namespace merolune
