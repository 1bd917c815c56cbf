#pragma once
// The decoding and encoding banners: small borderless windows shown while a conversion runs.

#include <QColor>
#include <QString>
#include <QWidget>

class QLabel;

namespace merolune {

class TGradBox;

// A borderless 240 x 69 window centred on the desktop: a horizontal gradient from white to the
// banner's colour fills it, two transparent labels say what is going on, and a black frame two
// pixels wide runs round the edge above everything. The job creates one for a conversion phase,
// shows it, and destroys it when the phase ends; it has no behaviour of its own. Given a parent,
// it stays a window of its own, transient for the parent's window (which window managers keep
// beneath it), and keeps its look while that window is disabled. User-interface thread only; the
// children belong to the window through Qt parenting. Nothing here throws.
class TBannerForm : public QWidget {
  Q_OBJECT

 public:
  ~TBannerForm() override;

  TBannerForm(const TBannerForm&) = delete;
  TBannerForm& operator=(const TBannerForm&) = delete;

  TGradBox* GradBox1 = nullptr;  // the background, filling the form
  QLabel* Label1 = nullptr;      // "Now Decoding..." or "Now Encoding...", at 16, 8
  QLabel* Label2 = nullptr;      // "Please wait.", at 24, 40

 protected:
  TBannerForm(const QString& headline, const QColor& endColor, bool staysOnTop, QWidget* parent);
  void changeEvent(QEvent* event) override;

 private:
  QWidget* frame_ = nullptr;  // draws the border over the gradient and the labels
};

// Shown, above every other window, while the source is turned into the temporary WAV file.
class TDecodingDlg : public TBannerForm {
  Q_OBJECT

 public:
  explicit TDecodingDlg(QWidget* parent = nullptr);
};

// Shown while the job's WAV file is turned into the destination format; it does not stay on top.
class TEncodingDlg : public TBannerForm {
  Q_OBJECT

 public:
  explicit TEncodingDlg(QWidget* parent = nullptr);
};

}  // namespace merolune
