// libtagcopy.so: a song's tags and front cover copied into its karaoke track, over TagLib.

#include "tagcopy.h"

#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tdebuglistener.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>
#include <taglib/aifffile.h>
#include <taglib/wavpackfile.h>

#include <array>
#include <mutex>
#include <optional>

namespace merolune {

namespace {

using TagLib::ByteVector;
using TagLib::String;

// The fields kept, by TagLib's property names; each format maps them to its own.
constexpr std::array<const char*, 9> kKeptKeys{"TITLE",       "ARTIST",     "ALBUM", "ALBUMARTIST", "TRACKNUMBER",
                                               "DISCNUMBER", "DATE",       "GENRE", "COMMENT"};

// The RIFF INFO fields of the keys a WAV file can hold: the ones FFmpeg and TagLib both read.
constexpr std::array<std::pair<const char*, const char*>, 7> kInfoFields{{{"TITLE", "INAM"},
                                                                           {"ARTIST", "IART"},
                                                                           {"ALBUM", "IPRD"},
                                                                           {"TRACKNUMBER", "IPRT"},
                                                                           {"DATE", "ICRD"},
                                                                           {"GENRE", "IGNR"},
                                                                           {"COMMENT", "ICMT"}}};

// APEv2 keeps binary items as "file name", a zero byte, then the bytes.
constexpr const char* kApeFrontCover = "COVER ART (FRONT)";

// TagLib's warnings about odd files would land on the user's terminal; the caller hears of failures
// through the return value instead.
class Silence final : public TagLib::DebugListener {
 public:
  void printMessage(const String&) override {}
};

// RIFF INFO texts as UTF-8, as FFmpeg reads and writes them (TagLib's default is Latin-1, which would
// lose every other script).
class Utf8Info final : public TagLib::RIFF::Info::StringHandler {
 public:
  String parse(const ByteVector& data) const override { return String(data, String::UTF8); }
  ByteVector render(const String& text) const override { return text.data(String::UTF8); }
};

void SetUpTagLib() {
  static std::once_flag once;
  static Silence silence;
  static Utf8Info utf8;
  std::call_once(once, [] {
    TagLib::setDebugListener(&silence);
    TagLib::RIFF::Info::Tag::setStringHandler(&utf8);
  });
}

struct Cover {
  ByteVector Data;
  String MimeType;
};

struct Tags {
  TagLib::PropertyMap Fields;
  std::optional<Cover> Picture;
  bool Empty() const { return Fields.isEmpty() && !Picture; }
};

// The picture's type from its first bytes, for the formats that name it.
String MimeTypeOf(const ByteVector& data) {
  if (data.startsWith(ByteVector("\xFF\xD8\xFF", 3))) return "image/jpeg";
  if (data.startsWith(ByteVector("\x89PNG", 4))) return "image/png";
  if (data.startsWith("GIF8")) return "image/gif";
  if (data.startsWith("BM")) return "image/bmp";
  return "image/jpeg";
}

// Picks the front cover among pictures given as (is front cover, cover); the first one when none is.
template <class List, class IsFront, class ToCover>
std::optional<Cover> FrontCover(const List& pictures, IsFront isFront, ToCover toCover) {
  std::optional<Cover> first;
  for (const auto& picture : pictures) {
    if (isFront(picture)) return toCover(picture);
    if (!first) first = toCover(picture);
  }
  return first;
}

std::optional<Cover> CoverFromId3v2(TagLib::ID3v2::Tag* tag) {
  if (!tag) return std::nullopt;
  using Frame = TagLib::ID3v2::AttachedPictureFrame;
  const TagLib::ID3v2::FrameList& frames = tag->frameListMap()["APIC"];
  return FrontCover(
      frames, [](TagLib::ID3v2::Frame* f) { return static_cast<Frame*>(f)->type() == Frame::FrontCover; },
      [](TagLib::ID3v2::Frame* f) {
        const auto* picture = static_cast<Frame*>(f);
        return Cover{picture->picture(), picture->mimeType()};
      });
}

std::optional<Cover> CoverFromFlacPictures(const TagLib::List<TagLib::FLAC::Picture*>& pictures) {
  using Picture = TagLib::FLAC::Picture;
  return FrontCover(
      pictures, [](Picture* p) { return p->type() == Picture::FrontCover; },
      [](Picture* p) { return Cover{p->data(), p->mimeType()}; });
}

std::optional<Cover> CoverFromApe(TagLib::APE::Tag* tag) {
  if (!tag || !tag->itemListMap().contains(kApeFrontCover)) return std::nullopt;
  const ByteVector item = tag->itemListMap()[kApeFrontCover].binaryData();
  const int nameEnd = item.find('\0');
  if (nameEnd < 0) return std::nullopt;
  const ByteVector data = item.mid(static_cast<unsigned>(nameEnd) + 1);
  if (data.isEmpty()) return std::nullopt;
  return Cover{data, MimeTypeOf(data)};
}

std::optional<Cover> CoverFromAsf(TagLib::ASF::Tag* tag) {
  if (!tag || !tag->attributeListMap().contains("WM/Picture")) return std::nullopt;
  using Picture = TagLib::ASF::Picture;
  return FrontCover(
      tag->attribute("WM/Picture"),
      [](const TagLib::ASF::Attribute& a) { return a.toPicture().type() == Picture::FrontCover; },
      [](const TagLib::ASF::Attribute& a) { return Cover{a.toPicture().picture(), a.toPicture().mimeType()}; });
}

std::optional<Cover> CoverFromMp4(TagLib::MP4::Tag* tag) {
  if (!tag || !tag->contains("covr")) return std::nullopt;
  const TagLib::MP4::CoverArtList covers = tag->item("covr").toCoverArtList();
  if (covers.isEmpty()) return std::nullopt;
  return Cover{covers.front().data(), MimeTypeOf(covers.front().data())};
}

// The picture of whichever kind of file TagLib opened.
std::optional<Cover> CoverOf(TagLib::File* file) {
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) return CoverFromId3v2(mpeg->ID3v2Tag());
  if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
    return wav->hasID3v2Tag() ? CoverFromId3v2(wav->ID3v2Tag()) : std::nullopt;
  }
  if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) {
    return aiff->hasID3v2Tag() ? CoverFromId3v2(aiff->tag()) : std::nullopt;
  }
  if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) return CoverFromFlacPictures(flac->pictureList());
  if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) {
    return vorbis->tag() ? CoverFromFlacPictures(vorbis->tag()->pictureList()) : std::nullopt;
  }
  if (auto* opus = dynamic_cast<TagLib::Ogg::Opus::File*>(file)) {
    return opus->tag() ? CoverFromFlacPictures(opus->tag()->pictureList()) : std::nullopt;
  }
  if (auto* ape = dynamic_cast<TagLib::APE::File*>(file)) return CoverFromApe(ape->APETag());
  if (auto* wavpack = dynamic_cast<TagLib::WavPack::File*>(file)) return CoverFromApe(wavpack->APETag());
  if (auto* asf = dynamic_cast<TagLib::ASF::File*>(file)) return CoverFromAsf(asf->tag());
  if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) return CoverFromMp4(mp4->tag());
  return std::nullopt;
}

// Where TagLib's property names fall short of what other writers put in a file: `all` is every
// property TagLib found.
void AddFieldsTagLibMisses(TagLib::File* file, const TagLib::PropertyMap& all, TagLib::PropertyMap& fields) {
  // FFmpeg writes a comment as DESCRIPTION in Vorbis comments, and the album artist of an APEv2 tag
  // (WavPack, Monkey's Audio) as ALBUM_ARTIST.
  for (const auto& [name, key] : {std::pair{"DESCRIPTION", "COMMENT"}, std::pair{"ALBUM_ARTIST", "ALBUMARTIST"}}) {
    const auto found = all.find(name);
    if (!fields.contains(key) && found != all.end() && !found->second.isEmpty() && !found->second.front().isEmpty())
      fields.insert(key, found->second);
  }
  // TagLib reads a RIFF INFO tag's track number and date as numbers ("3/12" becomes 3, "2021-05-03"
  // 2021); the texts are kept as they stand.
  if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file); wav && wav->hasInfoTag()) {
    for (const auto& [key, id] : kInfoFields) {
      const String text = wav->InfoTag()->fieldText(id);
      if (!text.isEmpty()) fields.replace(key, text);
    }
  }
  // FFmpeg's ASF writer keeps a comment and a date as attributes of their own names ("Description",
  // "date") where TagLib looks in the content description and in WM/Year.
  if (auto* asf = dynamic_cast<TagLib::ASF::File*>(file); asf && asf->tag()) {
    const auto& attributes = asf->tag()->attributeListMap();
    for (const auto& [name, key] : {std::pair{"Description", "COMMENT"}, std::pair{"date", "DATE"}}) {
      if (fields.contains(key) || !attributes.contains(name) || attributes[name].isEmpty()) continue;
      const String text = attributes[name].front().toString();
      if (!text.isEmpty()) fields.insert(key, text);
    }
  }
}

Tags ReadTags(const char* path) {
  Tags tags;
  const TagLib::FileRef source(path, false);
  if (source.isNull()) return tags;
  const TagLib::PropertyMap all = source.file()->properties();
  for (const char* key : kKeptKeys) {
    const auto found = all.find(key);
    if (found != all.end() && !found->second.isEmpty() && !found->second.front().isEmpty()) {
      tags.Fields.insert(key, found->second);
    }
  }
  AddFieldsTagLibMisses(source.file(), all, tags.Fields);
  tags.Picture = CoverOf(source.file());
  return tags;
}

// The destination's own properties with the kept keys replaced by the source's.
void MergeFields(TagLib::File& file, const TagLib::PropertyMap& fields) {
  TagLib::PropertyMap merged = file.properties();
  for (const char* key : kKeptKeys) merged.erase(key);
  for (const auto& [key, values] : fields) merged.insert(key, values);
  file.setProperties(merged);
}

TagLib::FLAC::Picture* NewFlacPicture(const Cover& cover) {
  auto* picture = new TagLib::FLAC::Picture;
  picture->setType(TagLib::FLAC::Picture::FrontCover);
  picture->setMimeType(cover.MimeType);
  picture->setData(cover.Data);
  return picture;
}

int32_t Saved(bool saved) { return saved ? TAGCOPY_COPIED : TAGCOPY_SAVE_FAILED; }

int32_t WriteWav(const char* path, const Tags& tags) {
  TagLib::RIFF::WAV::File file(path, false);
  if (!file.isValid()) return TAGCOPY_UNREADABLE;
  TagLib::RIFF::Info::Tag* info = file.InfoTag();
  for (const auto& [key, id] : kInfoFields) {
    const auto found = tags.Fields.find(key);
    if (found != tags.Fields.end()) info->setFieldText(id, found->second.toString(", "));
  }
  return Saved(file.save(TagLib::RIFF::WAV::File::Info, TagLib::File::StripNone));
}

int32_t WriteMp3(const char* path, const Tags& tags) {
  TagLib::MPEG::File file(path, false);
  if (!file.isValid()) return TAGCOPY_UNREADABLE;
  TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
  MergeFields(file, tags.Fields);
  if (tags.Picture) {
    tag->removeFrames("APIC");
    auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
    frame->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    frame->setMimeType(tags.Picture->MimeType);
    frame->setPicture(tags.Picture->Data);
    tag->addFrame(frame);
  }
  return Saved(file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone));
}

// Ogg Vorbis and Opus: Vorbis comments, the cover as a picture block inside them.
template <class OggFile>
int32_t WriteOgg(const char* path, const Tags& tags) {
  OggFile file(path, false);
  if (!file.isValid() || !file.tag()) return TAGCOPY_UNREADABLE;
  MergeFields(file, tags.Fields);
  if (tags.Picture) {
    file.tag()->removeAllPictures();
    file.tag()->addPicture(NewFlacPicture(*tags.Picture));
  }
  return Saved(file.save());
}

int32_t WriteFlac(const char* path, const Tags& tags) {
  TagLib::FLAC::File file(path, false);
  if (!file.isValid()) return TAGCOPY_UNREADABLE;
  file.xiphComment(true);
  MergeFields(file, tags.Fields);
  if (tags.Picture) {
    file.removePictures();
    file.addPicture(NewFlacPicture(*tags.Picture));
  }
  return Saved(file.save());
}

int32_t WriteApe(const char* path, const Tags& tags) {
  TagLib::APE::File file(path, false);
  if (!file.isValid()) return TAGCOPY_UNREADABLE;
  TagLib::APE::Tag* tag = file.APETag(true);
  MergeFields(file, tags.Fields);
  if (tags.Picture) {
    const bool png = tags.Picture->MimeType == "image/png";
    ByteVector item(png ? "cover.png" : "cover.jpg");
    item.append('\0');
    item.append(tags.Picture->Data);
    tag->setItem(kApeFrontCover, TagLib::APE::Item(kApeFrontCover, item, true));
  }
  return Saved(file.save());
}

int32_t WriteWma(const char* path, const Tags& tags) {
  TagLib::ASF::File file(path, false);
  if (!file.isValid() || !file.tag()) return TAGCOPY_UNREADABLE;
  MergeFields(file, tags.Fields);
  if (tags.Picture) {
    TagLib::ASF::Picture picture;
    picture.setType(TagLib::ASF::Picture::FrontCover);
    picture.setMimeType(tags.Picture->MimeType);
    picture.setPicture(tags.Picture->Data);
    file.tag()->setAttribute("WM/Picture", TagLib::ASF::Attribute(picture));
  }
  return Saved(file.save());
}

int32_t WriteM4a(const char* path, const Tags& tags) {
  TagLib::MP4::File file(path, false);
  if (!file.isValid() || !file.tag()) return TAGCOPY_UNREADABLE;
  MergeFields(file, tags.Fields);
  if (tags.Picture) {
    using Art = TagLib::MP4::CoverArt;
    const String& type = tags.Picture->MimeType;
    const Art::Format format = type == "image/png"   ? Art::PNG
                               : type == "image/gif" ? Art::GIF
                               : type == "image/bmp" ? Art::BMP
                                                     : Art::JPEG;
    TagLib::MP4::CoverArtList covers;
    covers.append(Art(format, tags.Picture->Data));
    file.tag()->setItem("covr", TagLib::MP4::Item(covers));
  }
  return Saved(file.save());
}

int32_t Copy(const char* source, const char* destination, int32_t kind) {
  if (kind < TAGCOPY_WAV || kind > TAGCOPY_M4A) return TAGCOPY_BAD_KIND;
  SetUpTagLib();
  const Tags tags = ReadTags(source);
  if (tags.Empty()) return TAGCOPY_NOTHING;
  switch (kind) {
    case TAGCOPY_WAV:
      return WriteWav(destination, tags);
    case TAGCOPY_MP3:
      return WriteMp3(destination, tags);
    case TAGCOPY_OGG:
      return WriteOgg<TagLib::Ogg::Vorbis::File>(destination, tags);
    case TAGCOPY_OPUS:
      return WriteOgg<TagLib::Ogg::Opus::File>(destination, tags);
    case TAGCOPY_FLAC:
      return WriteFlac(destination, tags);
    case TAGCOPY_APE:
      return WriteApe(destination, tags);
    case TAGCOPY_WMA:
      return WriteWma(destination, tags);
    default:
      return WriteM4a(destination, tags);
  }
}

}  // namespace

}  // namespace merolune

int32_t TagCopy(const char* source, const char* destination, int32_t destination_kind) {
  if (!source || !destination) return TAGCOPY_UNREADABLE;
  try {
    return merolune::Copy(source, destination, destination_kind);
  } catch (...) {
    return TAGCOPY_SAVE_FAILED;
  }
}
