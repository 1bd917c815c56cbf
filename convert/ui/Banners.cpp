// The decoding and encoding banners.

#include "Banners.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QScreen>
#include <cstdint>

#include "Fonts.h"
#include "GradBox.h"

namespace merolune {

namespace {

constexpr int kWidth = 240;
constexpr int kHeight = 69;
constexpr int kFrameWidth = 2;
constexpr std::uint8_t kGradSteps = 128;

// The banners' colours, the far end of each gradient.
constexpr QRgb kDecodingColor = qRgb(162, 220, 255);
constexpr QRgb kEncodingColor = qRgb(255, 162, 164);

QLabel* MakeLabel(const QString& text, const QFont& font, int x, int y, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(font);
  // No background of its own, so the gradient shows through.
  label->setAutoFillBackground(false);
  label->move(x, y);
  label->adjustSize();
  return label;
}

// The border, drawn by a transparent child that lies above the other children because a
// parent's own painting would end up beneath them.
class FrameOverlay : public QWidget {
 public:
  explicit FrameOverlay(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    QPen pen(Qt::black);
    pen.setWidth(kFrameWidth);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // A wide pen is centred on its path: the path runs half a pen inside the edge so that the
    // whole two pixels fall inside the form on every side.
    const qreal half = kFrameWidth / 2.0;
    painter.drawRect(QRectF(half, half, width() - kFrameWidth, height() - kFrameWidth));
  }
};

}  // namespace

TBannerForm::TBannerForm(const QString& headline, const QColor& endColor, bool staysOnTop, QWidget* parent)
    : QWidget(parent) {
  // A banner only informs: it never takes the keyboard from the main window, whose Escape cancels.
  // A tool window, since X11 window managers learn of the parent (and keep a banner above it) only
  // for tool windows and dialogs.
  Qt::WindowFlags flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus;
  if (staysOnTop) flags |= Qt::WindowStaysOnTopHint;
  setWindowFlags(flags);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFixedSize(kWidth, kHeight);

  GradBox1 = new TGradBox(this);
  GradBox1->setGeometry(0, 0, kWidth, kHeight);
  GradBox1->SetDirection(gdHorizontal);
  GradBox1->SetGradStep(kGradSteps);
  GradBox1->SetStartColor(Qt::white);
  GradBox1->SetEndColor(endColor);

  Label1 = MakeLabel(headline, UiFont(UiFace::Serif, 29, true), 16, 8, this);
  Label2 = MakeLabel(QStringLiteral("Please wait."), UiFont(UiFace::Serif, 16), 24, 40, this);

  frame_ = new FrameOverlay(this);
  frame_->setGeometry(0, 0, kWidth, kHeight);
  frame_->raise();

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area(QPoint(0, 0), size());
    area.moveCenter(screen->availableGeometry().center());
    move(area.topLeft());
  }
  // A parent disabled while its conversion runs would grey the texts.
  setEnabled(true);
}

TBannerForm::~TBannerForm() = default;

// The banner takes no input, so it need not follow its parent into the disabled state; it stays
// enabled and so keeps its colours.
void TBannerForm::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange && !isEnabled()) setEnabled(true);
  QWidget::changeEvent(event);
}

TDecodingDlg::TDecodingDlg(QWidget* parent)
    : TBannerForm(QStringLiteral("Now Decoding..."), QColor(kDecodingColor), true, parent) {}

TEncodingDlg::TEncodingDlg(QWidget* parent)
    : TBannerForm(QStringLiteral("Now Encoding..."), QColor(kEncodingColor), false, parent) {}

}  // namespace merolune
