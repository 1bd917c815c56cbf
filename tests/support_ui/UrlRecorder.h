#pragma once
// Stands in for the user's browser: records the addresses the program hands to QDesktopServices.

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

namespace merolune::test {

// While it lives, QDesktopServices::openUrl for the given schemes lands in Opened instead of a
// browser. UI thread only.
class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  explicit UrlRecorder(QStringList schemes = {"http", "https"}) : schemes_(std::move(schemes)) {
    for (const QString& scheme : schemes_) QDesktopServices::setUrlHandler(scheme, this, "Open");
  }
  ~UrlRecorder() override {
    for (const QString& scheme : schemes_) QDesktopServices::unsetUrlHandler(scheme);
  }

  QList<QUrl> Opened;

 public slots:
  void Open(const QUrl& url) { Opened.push_back(url); }

 private:
  QStringList schemes_;
};

}  // namespace merolune::test
