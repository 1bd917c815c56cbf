#include "Language.h"

#include <cstdlib>
#include <string_view>

namespace merolune {

Language InterfaceLanguage() {
  const auto value = [](const char* name) {
    const char* text = std::getenv(name);
    return std::string_view(text ? text : "");
  };
  const std::string_view forced = value("MEROLUNE_LANG");
  if (forced == "ja") return Language::Japanese;
  if (forced == "en") return Language::English;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const std::string_view locale = value(name);
    if (!locale.empty()) return locale.starts_with("ja") ? Language::Japanese : Language::English;
  }
  return Language::English;
}

}  // namespace merolune
