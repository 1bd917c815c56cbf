#pragma once
// The windows' English texts: Qt's translation of the program's Japanese ones.

class QCoreApplication;

namespace merolune {

// Installs the English translation into `app` when the interface language is English (see
// Language.h); the Japanese texts are the program's own and need none. Returns whether a
// translation was installed.
bool InstallTranslation(QCoreApplication& app);

}  // namespace merolune
