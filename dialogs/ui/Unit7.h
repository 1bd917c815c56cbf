#pragma once
// The explanation dialog: the page "rider.html" in a browser pane with an OK button under it.

#include <QDialog>
#include <QString>

class QPushButton;
class QTextBrowser;
class QWidget;

namespace merolune {

// A modal, resizable dialog (696 x 480 at 207, 234) created by the menu command for one showing.
// Every showing loads RiderPagePath(the program's folder), or a short note naming the missing
// file; links to other places open in the user's browser. UI thread only; nothing here throws.
class TRiderDlg : public QDialog {
  Q_OBJECT

 public:
  // `executableDir` stands in for the program's folder (tests); empty means the running program's.
  explicit TRiderDlg(QWidget* parent = nullptr, QString executableDir = QString());
  ~TRiderDlg() override;

  TRiderDlg(const TRiderDlg&) = delete;
  TRiderDlg& operator=(const TRiderDlg&) = delete;

  // Loads the page anew; runs at every showing.
  void FormShow();
  // The file the last FormShow looked for.
  const QString& PagePath() const { return pagePath_; }

  QTextBrowser* WebBrowser1;  // the page
  QWidget* Panel1;            // the 41-pixel strip under it
  QPushButton* BitBtn1;       // "OK"

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QString executableDir_;
  QString pagePath_;
};

inline constexpr const char* kRiderCaption = "補足説明";

}  // namespace merolune
