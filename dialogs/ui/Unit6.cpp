// The version dialog: picture, frame, labels, the link's colours and the site it opens.

#include "Unit6.h"

#include <QDesktopServices>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QUrl>

#include "Colors.h"
#include "Fonts.h"
#include "MessageQuery.h"

namespace merolune {

namespace {

constexpr std::uint32_t kClAqua = 16776960;
constexpr std::uint32_t kClRed = 255;
constexpr int kFrameWidth = 2;

// A rectangle outline with no fill, drawn over its siblings; mouse events pass through it.
class TShape : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const int w = width();
    const int h = height();
    p.fillRect(0, 0, w, kFrameWidth, Qt::black);
    p.fillRect(0, h - kFrameWidth, w, kFrameWidth, Qt::black);
    p.fillRect(0, 0, kFrameWidth, h, Qt::black);
    p.fillRect(w - kFrameWidth, 0, kFrameWidth, h, Qt::black);
  }
};

QLabel* MakeLabel(const QString& text, QWidget* parent, const QRect& bounds, const QColor& colour) {
  auto* label = new QLabel(text, parent);
  QFont font = UiFont(UiFace::Sans, 12, true);
  label->setFont(font);
  label->setGeometry(bounds);
  label->setAttribute(Qt::WA_TranslucentBackground);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
  return label;
}

void SetTextColour(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

// The site as the link shows it: without the scheme, so that it fits its 120 pixels.
QString LinkText(const std::string& site) {
  const QUrl url(QString::fromStdString(site));
  return url.isValid() && !url.host().isEmpty() ? url.host() + url.path() : QString::fromStdString(site);
}

}  // namespace

TVersionDlg::TVersionDlg(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  const QPixmap picture(kVersionPicture);
  Image1 = new QLabel(this);
  Image1->setPixmap(picture);
  Image1->setGeometry(0, 0, picture.width(), picture.height());
  setFixedSize(picture.size());

  Label1 = MakeLabel(kVersionText, this, QRect(176, 312, 72, 13), Qt::white);
  Label2 = MakeLabel(LinkText(MakerSite()), this, QRect(248, 312, 120, 13), ColorFromTColor(kClAqua));
  Label2->setAlignment(Qt::AlignRight | Qt::AlignTop);
  QFont link = Label2->font();
  link.setUnderline(true);
  Label2->setFont(link);
  Label2->setCursor(Qt::PointingHandCursor);
  Label2->installEventFilter(this);

  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
  BitBtn1->setFont(UiFont(UiFace::Sans, 12, true));
  BitBtn1->setGeometry(376, 312, 75, 25);
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

  Shape1 = new TShape(this);
  Shape1->setGeometry(rect());
  Shape1->setAttribute(Qt::WA_TransparentForMouseEvents);
  Shape1->raise();

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->geometry().center() - rect().center());
  }
}

TVersionDlg::~TVersionDlg() = default;

void TVersionDlg::Label2Click() { QDesktopServices::openUrl(QUrl(QString::fromStdString(MakerSite()))); }

void TVersionDlg::Label2MouseEnter() { SetTextColour(Label2, ColorFromTColor(kClRed)); }

void TVersionDlg::Label2MouseLeave() { SetTextColour(Label2, ColorFromTColor(kClAqua)); }

bool TVersionDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Label2) {
    switch (event->type()) {
      case QEvent::Enter:
        Label2MouseEnter();
        break;
      case QEvent::Leave:
        Label2MouseLeave();
        break;
      case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
            Label2->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
          Label2Click();
        }
        break;
      default:
        break;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TVersionDlg::keyPressEvent(QKeyEvent* event) {
  // Esc is not bound: only OK (or Enter, its default button) closes the dialog.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace merolune
