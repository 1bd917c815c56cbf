#include "Messages.h"

#include <array>

namespace merolune {
namespace {

struct Translation {
  std::string_view Japanese;
  std::string_view English;
};

constexpr Translation kMessages[] = {
#include "MessageTable.inc"
};

constexpr std::size_t kMaxArguments = 9;
using Arguments = std::array<std::string_view, kMaxArguments + 1>;  // by number, 1..9

// The placeholder "%N" (N = 1..9) at `at` in `pattern`: its number, else 0.
std::size_t PlaceholderAt(std::string_view pattern, std::size_t at) {
  if (at + 1 >= pattern.size() || pattern[at] != '%') return 0;
  const char digit = pattern[at + 1];
  return digit >= '1' && digit <= '9' ? static_cast<std::size_t>(digit - '0') : 0;
}

// Whether `text` is `pattern` with its placeholders filled, recording what fills them. A
// placeholder takes the shortest non-empty text after which the rest still fits, which the
// backtracking finds; patterns hold few placeholders, and lines are short.
bool Fits(std::string_view pattern, std::string_view text, Arguments& arguments) {
  std::size_t fixed = 0;
  while (fixed < pattern.size() && !PlaceholderAt(pattern, fixed)) ++fixed;
  if (text.substr(0, fixed) != pattern.substr(0, fixed)) return false;
  if (fixed == pattern.size()) return text.size() == fixed;
  const std::size_t number = PlaceholderAt(pattern, fixed);
  const std::string_view rest = pattern.substr(fixed + 2);
  for (std::size_t end = fixed + 1; end <= text.size(); ++end) {
    if (Fits(rest, text.substr(end), arguments)) {
      arguments[number] = text.substr(fixed, end - fixed);
      return true;
    }
  }
  return false;
}

// The pattern's length without its placeholders: how much of a line it pins down.
std::size_t FixedLength(std::string_view pattern) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (PlaceholderAt(pattern, i))
      ++i;
    else
      ++length;
  }
  return length;
}

std::string LocalizedLine(std::string_view line) {
  const Translation* best = nullptr;
  Arguments bestArguments{};
  for (const Translation& known : kMessages) {
    Arguments arguments{};
    if ((!best || FixedLength(known.Japanese) > FixedLength(best->Japanese)) &&
        Fits(known.Japanese, line, arguments)) {
      best = &known;
      bestArguments = arguments;
    }
  }
  if (!best) return std::string(line);
  std::string english;
  for (std::size_t i = 0; i < best->English.size(); ++i) {
    if (const std::size_t number = PlaceholderAt(best->English, i)) {
      english += bestArguments[number];
      ++i;
    } else {
      english += best->English[i];
    }
  }
  return english;
}

}  // namespace

std::string LocalizedMessage(std::string_view message, Language language) {
  if (language == Language::Japanese) return std::string(message);
  std::string result;
  for (std::size_t start = 0;;) {
    const std::size_t end = message.find('\n', start);
    result += LocalizedLine(message.substr(start, end - start));
    if (end == std::string_view::npos) return result;
    result += '\n';
    start = end + 1;
  }
}

std::string LocalizedMessage(std::string_view message) {
  return LocalizedMessage(message, InterfaceLanguage());
}

}  // namespace merolune
