// The explanation page's place beside the program or in the installed data folder.

#include "HelpFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace merolune {

QString RiderPagePath(const QString& executableDir) {
  const QString beside = executableDir + QLatin1Char('/') + QLatin1String(kRiderPageName);
  if (QFileInfo(beside).isFile()) return beside;
  const QString installed =
      QDir::cleanPath(executableDir + QStringLiteral("/../share/merolune/") + QLatin1String(kRiderPageName));
  if (QFileInfo(installed).isFile()) return installed;
  return beside;
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
