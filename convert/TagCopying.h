#pragma once
// The job's tag copier over libtagcopy.so, opened by name the first time a source may hold tags.

#include <string>

#include "Formats.h"
#include "ReductionJob.h"

namespace merolune {

// The soname, found through the program's run path like the codec libraries'.
inline constexpr char kTagcopyLibrary[] = "libtagcopy.so";

// Copies a source's tags into a job's result through libtagcopy.so (TagLib). A WAV source is looked
// at first: one without a LIST or ID3 chunk holds no tags, and the library is not even loaded for it.
// A missing library or a result that could not be rewritten gives a note; the result stays as it is.
// Standard library only: merolune-cli uses it without Qt. Use on one thread.
class LibraryTagCopier final : public TagCopier {
 public:
  std::string CopyTags(const std::string& source, FileFormat sourceFormat, const std::string& result,
                       FileFormat resultFormat) override;

  // The library opened, by soname (a test's missing library).
  std::string Library = kTagcopyLibrary;
};

// Whether a RIFF/WAVE file has a chunk that may hold tags: "LIST" (INFO), "id3 " or "ID3 ". False
// for a file that cannot be read.
bool WavMayHoldTags(const std::string& path);

}  // namespace merolune
