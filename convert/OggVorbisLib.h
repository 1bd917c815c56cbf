#pragma once
// Run-time bindings of libogg, libvorbis, vorbisfile and vorbisenc: the entry points our Vorbis code calls.
//
// Declares the entry points with the libraries' own prototypes, so it includes their headers; include it
// from .cpp files only (ACS_Vorbis.h does not).

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>
#include <vorbis/vorbisfile.h>

#include "DynamicLibrary.h"

#define MEROLUNE_OGG_ENTRY_POINTS(X) \
  X(ogg_stream_init)                 \
  X(ogg_stream_clear)                \
  X(ogg_stream_packetin)             \
  X(ogg_stream_pageout)              \
  X(ogg_stream_flush)                \
  X(ogg_page_eos)                    \
  X(ogg_page_granulepos)             \
  X(ogg_page_serialno)               \
  X(ogg_sync_init)                   \
  X(ogg_sync_clear)                  \
  X(ogg_sync_buffer)                 \
  X(ogg_sync_wrote)                  \
  X(ogg_sync_pageseek)

#define MEROLUNE_VORBIS_ENTRY_POINTS(X) \
  X(vorbis_info_init)                   \
  X(vorbis_info_clear)                  \
  X(vorbis_comment_init)                \
  X(vorbis_comment_add_tag)             \
  X(vorbis_comment_clear)               \
  X(vorbis_analysis_init)               \
  X(vorbis_block_init)                  \
  X(vorbis_block_clear)                 \
  X(vorbis_dsp_clear)                   \
  X(vorbis_analysis_headerout)          \
  X(vorbis_analysis_buffer)             \
  X(vorbis_analysis_wrote)              \
  X(vorbis_analysis_blockout)           \
  X(vorbis_analysis)                    \
  X(vorbis_bitrate_addblock)            \
  X(vorbis_bitrate_flushpacket)

#define MEROLUNE_VORBISFILE_ENTRY_POINTS(X) \
  X(ov_test_callbacks)                      \
  X(ov_test_open)                           \
  X(ov_clear)                               \
  X(ov_streams)                             \
  X(ov_serialnumber)                        \
  X(ov_info)                                \
  X(ov_comment)                             \
  X(ov_pcm_total)                           \
  X(ov_time_total)                          \
  X(ov_read)                                \
  X(ov_pcm_seek)

#define MEROLUNE_VORBISENC_ENTRY_POINTS(X) \
  X(vorbis_encode_init)                    \
  X(vorbis_encode_setup_vbr)               \
  X(vorbis_encode_setup_init)

namespace merolune {

MEROLUNE_ENTRY_POINTS(OggEntryPoints, "libogg.so.0", MEROLUNE_OGG_ENTRY_POINTS);
MEROLUNE_ENTRY_POINTS(VorbisEntryPoints, "libvorbis.so.0", MEROLUNE_VORBIS_ENTRY_POINTS);
MEROLUNE_ENTRY_POINTS(VorbisFileEntryPoints, "libvorbisfile.so.3", MEROLUNE_VORBISFILE_ENTRY_POINTS);
MEROLUNE_ENTRY_POINTS(VorbisEncEntryPoints, "libvorbisenc.so.2", MEROLUNE_VORBISENC_ENTRY_POINTS);

// The four libraries, opened when the object is made in dependency order (vorbis needs ogg, vorbisfile
// and vorbisenc need both); each Vorbis component owns one. Require() throws the message of the first
// library that is not usable, checked in that order ("libvorbisenc.so.2 library could not be loaded.").
class OggVorbisLib
    : public LibraryBinding<OggEntryPoints, VorbisEntryPoints, VorbisFileEntryPoints, VorbisEncEntryPoints> {
};

// All the entry points of the four libraries.
using OggVorbisApi = OggVorbisLib::EntryPoints;

}  // namespace merolune
