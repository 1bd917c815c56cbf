#pragma once
// The version dialog: the version picture with the version number, the site's link and OK.

#include <QDialog>

class QLabel;
class QPushButton;
class QWidget;

namespace merolune {

// A modal borderless dialog the size of its picture (461 x 346), centred on the desktop, with a
// 2-pixel black frame, created by the menu command for one showing. The link (aqua, red while the
// mouse is over it) opens MakerSite() with QDesktopServices and leaves the dialog open. OK is the
// default button, so Enter closes the dialog; Esc is not bound. UI thread only; nothing throws.
class TVersionDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TVersionDlg(QWidget* parent = nullptr);
  ~TVersionDlg() override;

  TVersionDlg(const TVersionDlg&) = delete;
  TVersionDlg& operator=(const TVersionDlg&) = delete;

  void Label2Click();       // open the maker's site
  void Label2MouseEnter();  // the link turns red
  void Label2MouseLeave();  // the link turns aqua again

  QLabel* Image1;         // the picture
  QWidget* Shape1;        // the frame
  QLabel* Label1;         // "Version 1.21"
  QLabel* Label2;         // the site's address, a link
  QPushButton* BitBtn1;   // "OK"

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

inline constexpr const char* kVersionText = "Version 1.21";
// The picture, in the program's resources.
inline constexpr const char* kVersionPicture = ":/merolune/version.jpg";

}  // namespace merolune
