#pragma once
// The program's messages in the interface language. The Japanese texts are the program's own and
// are what the engine throws and reports; what shows them to the user (the command-line tool, the
// error boxes, the notifications) passes them through here. The English texts come from the
// context "Messages" of i18n/merolune_en.ts, built into a table: no Qt is needed.

#include <string>
#include <string_view>

#include "Language.h"

namespace merolune {

// `message` in `language`: unchanged in Japanese. In English each line is replaced by the
// translation of the known message it is (the one with the most fixed text when several fit), where
// a known message's %1, %2... stand for any non-empty text, put into the translation as it is (a
// file name stays as it was). A line that is no known message stays as it is.
std::string LocalizedMessage(std::string_view message, Language language);

// The same in the interface language of the moment (InterfaceLanguage()).
std::string LocalizedMessage(std::string_view message);

}  // namespace merolune
