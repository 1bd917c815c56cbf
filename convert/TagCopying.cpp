// The job's tag copier over libtagcopy.so.

#include "TagCopying.h"

#include <array>
#include <exception>

#include "DynamicLibrary.h"
#include "Stream.h"
#include "WaveHeader.h"
#include "tagcopy.h"

namespace merolune {

namespace {

#define MEROLUNE_TAGCOPY_ENTRY_POINTS(X) X(TagCopy)
MEROLUNE_ENTRY_POINTS(TagcopyEntryPoints, kTagcopyLibrary, MEROLUNE_TAGCOPY_ENTRY_POINTS);
using TagcopyLib = LibraryBinding<TagcopyEntryPoints>;

// The library's name for each kind of result; -1 for none.
int KindOf(FileFormat format) {
  switch (format) {
    case FileFormat::Wav:
      return TAGCOPY_WAV;
    case FileFormat::Mp3:
      return TAGCOPY_MP3;
    case FileFormat::Ogg:
      return TAGCOPY_OGG;
    case FileFormat::Opus:
      return TAGCOPY_OPUS;
    case FileFormat::Flac:
      return TAGCOPY_FLAC;
    case FileFormat::Ape:
      return TAGCOPY_APE;
    case FileFormat::Wma:
      return TAGCOPY_WMA;
    case FileFormat::M4a:
      return TAGCOPY_M4A;
    case FileFormat::Other:
    case FileFormat::Unknown:
      break;
  }
  return -1;
}

}  // namespace

bool WavMayHoldTags(const std::string& path) {
  try {
    FileStream file(path, FileStream::Mode::Read);
    std::array<std::uint8_t, 12> head{};
    if (!file.ReadExact(head.data(), head.size()) || !TagIs(&head[0], "RIFF") || !TagIs(&head[8], "WAVE"))
      return false;
    bool found = false;
    ScanChunks(file, [&](const RiffChunk& chunk) {
      found = TagIsNoCase(chunk.Tag.data(), "LIST") || TagIsNoCase(chunk.Tag.data(), "id3 ");
      return found ? ChunkScan::Stop : ChunkScan::Next;
    });
    return found;
  } catch (const std::exception&) {
    return false;
  }
}

std::string LibraryTagCopier::CopyTags(const std::string& source, FileFormat sourceFormat, const std::string& result,
                                       FileFormat resultFormat) {
  const int kind = KindOf(resultFormat);
  if (kind < 0) return {};
  if (sourceFormat == FileFormat::Wav && !WavMayHoldTags(source)) return {};
  const TagcopyLib library(Library, DynamicLibrary::Unloading::Never);
  if (!library.Usable()) return "tags not copied: " + library.MissingMessage();
  switch (library.Api().TagCopy(source.c_str(), result.c_str(), kind)) {
    case TAGCOPY_COPIED:
    case TAGCOPY_NOTHING:
      return {};
    case TAGCOPY_UNREADABLE:
      return "tags not copied: the result could not be read back as its format";
    default:
      return "tags not copied: the result could not be rewritten";
  }
}

}  // namespace merolune
