#pragma once
// The one error type of the program: an exception carrying a UTF-8 message for the user.

#include <exception>
#include <stdexcept>
#include <string>

namespace merolune {

// Every failure the user may see is an Exception (or a subclass) whose what() is the text
// to show as it stands. Subsystems derive their own classes so that callers can tell them apart.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// The silent abort: work stopped because the user (or a signal) asked for it. It unwinds like an
// error, so that every clean-up runs, but nothing is shown for it.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

// The message of the exception being handled: what() of a std::exception, else `unknown` (for
// anything else thrown). Call inside a catch block only.
inline std::string CurrentExceptionText(const char* unknown) {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return unknown;
  }
}

}  // namespace merolune
