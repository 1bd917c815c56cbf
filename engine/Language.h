#pragma once
// The language of what the program shows: its own Japanese texts, or English.

namespace merolune {

enum class Language { Japanese, English };

// MEROLUNE_LANG=ja or en when set; otherwise the locale that messages are shown in (LC_ALL, then
// LC_MESSAGES, then LANG, the first that is set and not empty): Japanese when it starts with "ja",
// English for any other and when none is set.
Language InterfaceLanguage();

}  // namespace merolune
