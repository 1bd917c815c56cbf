#pragma once
// The conversion pipeline's exception, apart from the pipeline so that code without Qt can throw it.

#include <string>

#include "Exception.h"

namespace merolune {

// The exception class of the whole pipeline; what() is the text for the user.
class EAuException : public Exception {
 public:
  explicit EAuException(const std::string& message) : Exception(message) {}
};

}  // namespace merolune
