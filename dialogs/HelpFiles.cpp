// The explanation page's place beside the program or in the installed data folder.

#include "HelpFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace merolune {

QString RiderPagePath(const QString& executableDir) {
  // The page in the interface language, else the program's own.
  const QString own = QLatin1String(kRiderPageName);
  const QString translated = QCoreApplication::translate("HelpFiles", kRiderPageName);
  for (const QString& name : translated == own ? QStringList{own} : QStringList{translated, own}) {
    const QString beside = executableDir + QLatin1Char('/') + name;
    if (QFileInfo(beside).isFile()) return beside;
    const QString installed = QDir::cleanPath(executableDir + QStringLiteral("/../share/merolune/") + name);
    if (QFileInfo(installed).isFile()) return installed;
  }
  return executableDir + QLatin1Char('/') + translated;
}

QString MissingRiderPage(const QString& path) {
  return QCoreApplication::translate("HelpFiles",
                                     "<html><body><h3>補足説明のページが見つかりません</h3>"
                                     "<p>次のファイルがありません。</p><p><tt>%1</tt></p>"
                                     "<p>プログラムと同じフォルダーか、インストール先の share/merolune/ に "
                                     "rider.html を置いてください。</p></body></html>")
      .arg(path.toHtmlEscaped());
}

}  // namespace merolune
