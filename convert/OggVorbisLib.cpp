// Run-time bindings of libogg, libvorbis, vorbisfile and vorbisenc: the entry points our Vorbis code calls.

#include "OggVorbisLib.h"

#include <utility>

#include "ACS_Classes.h"

namespace merolune {

namespace {

// Binds every pointer in `pointers` and reports whether the library is usable.
template <class... F>
bool BindAll(DynamicLibrary& library, std::pair<F*, const char*>... pointers) {
  (library.Bind(*pointers.first, pointers.second), ...);
  return library.Usable();
}

template <class F>
std::pair<F*, const char*> Entry(F& pointer, const char* name) {
  return {&pointer, name};
}

}  // namespace

// The member and the exported symbol share their name.
#define MEROLUNE_ENTRY(name) Entry(name, #name)

OggVorbisApi::OggVorbisApi() {
  OggUsable = BindAll(Ogg, MEROLUNE_ENTRY(ogg_stream_init), MEROLUNE_ENTRY(ogg_stream_clear),
                      MEROLUNE_ENTRY(ogg_stream_packetin), MEROLUNE_ENTRY(ogg_stream_pageout),
                      MEROLUNE_ENTRY(ogg_stream_flush), MEROLUNE_ENTRY(ogg_page_eos),
                      MEROLUNE_ENTRY(ogg_page_granulepos), MEROLUNE_ENTRY(ogg_page_serialno),
                      MEROLUNE_ENTRY(ogg_sync_init), MEROLUNE_ENTRY(ogg_sync_clear),
                      MEROLUNE_ENTRY(ogg_sync_buffer), MEROLUNE_ENTRY(ogg_sync_wrote),
                      MEROLUNE_ENTRY(ogg_sync_pageseek));
  VorbisUsable = BindAll(Vorbis, MEROLUNE_ENTRY(vorbis_info_init), MEROLUNE_ENTRY(vorbis_info_clear),
                         MEROLUNE_ENTRY(vorbis_comment_init), MEROLUNE_ENTRY(vorbis_comment_add_tag),
                         MEROLUNE_ENTRY(vorbis_comment_clear), MEROLUNE_ENTRY(vorbis_analysis_init),
                         MEROLUNE_ENTRY(vorbis_block_init), MEROLUNE_ENTRY(vorbis_block_clear),
                         MEROLUNE_ENTRY(vorbis_dsp_clear), MEROLUNE_ENTRY(vorbis_analysis_headerout),
                         MEROLUNE_ENTRY(vorbis_analysis_buffer), MEROLUNE_ENTRY(vorbis_analysis_wrote),
                         MEROLUNE_ENTRY(vorbis_analysis_blockout), MEROLUNE_ENTRY(vorbis_analysis),
                         MEROLUNE_ENTRY(vorbis_bitrate_addblock), MEROLUNE_ENTRY(vorbis_bitrate_flushpacket));
  VorbisFileUsable =
      BindAll(VorbisFile, MEROLUNE_ENTRY(ov_test_callbacks), MEROLUNE_ENTRY(ov_test_open),
              MEROLUNE_ENTRY(ov_clear), MEROLUNE_ENTRY(ov_streams), MEROLUNE_ENTRY(ov_serialnumber),
              MEROLUNE_ENTRY(ov_info),
              MEROLUNE_ENTRY(ov_comment), MEROLUNE_ENTRY(ov_pcm_total), MEROLUNE_ENTRY(ov_time_total),
              MEROLUNE_ENTRY(ov_read), MEROLUNE_ENTRY(ov_pcm_seek));
  VorbisEncUsable =
      BindAll(VorbisEnc, MEROLUNE_ENTRY(vorbis_encode_init), MEROLUNE_ENTRY(vorbis_encode_setup_vbr),
              MEROLUNE_ENTRY(vorbis_encode_setup_init));
}

#undef MEROLUNE_ENTRY

const OggVorbisApi& OggVorbisLibraries() {
  static const OggVorbisApi api;
  return api;
}

void LoadOggVorbisLibraries() { OggVorbisLibraries(); }

void RequireOggVorbisLibraries() {
  const OggVorbisApi& api = OggVorbisLibraries();
  if (!api.OggUsable) throw EAuException(api.Ogg.MissingMessage());
  if (!api.VorbisUsable) throw EAuException(api.Vorbis.MissingMessage());
  if (!api.VorbisFileUsable) throw EAuException(api.VorbisFile.MissingMessage());
  if (!api.VorbisEncUsable) throw EAuException(api.VorbisEnc.MissingMessage());
}

}  // namespace merolune
