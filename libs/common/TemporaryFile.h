#pragma once
// New, uniquely named files beside a destination, for outputs that appear only when complete.

#include <string>

namespace merolune {

// Creates a new empty file (mode 0666 less the umask) named after `destination` in the same
// directory, so that renaming it to the destination later stays on one file system and is atomic.
// Returns its descriptor and stores its name in `path`; -1 when no file could be created.
int CreateFileBeside(const std::string& destination, std::string& path);

}  // namespace merolune
