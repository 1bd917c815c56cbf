#pragma once
// New, uniquely named files beside a destination, for outputs that appear only when complete.

#include <string>

namespace merolune {

// Creates a new empty file (mode 0666 less the umask) in the directory of `destination`, so that
// renaming it to the destination later stays on one file system and is atomic. The name is hidden
// (".song.wav.part-<pid>-<n>") and always fits the directory's file-name limit: a destination whose
// own name is near the limit lends a shortened form of it. Returns the descriptor and stores the
// name in `path`; -1 (errno set, `path` empty) when no file could be created.
int CreateFileBeside(const std::string& destination, std::string& path);

}  // namespace merolune
