// The message dialog: its controls, sending the text, and the completion and error boxes.

#include "Unit8.h"

#include <QCoreApplication>
#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "ErrorBox.h"
#include "Fonts.h"
#include "MessageQuery.h"
#include "MessageSender.h"

namespace merolune {

std::function<void(const QString& caption, const QString& text)> TSendMsgDlg::NoticeHook;

namespace {

// A text of the dialog in the interface's language.
QString Text(const char* japanese) { return QCoreApplication::translate("TSendMsgDlg", japanese); }

constexpr int kClientWidth = 394;
constexpr int kClientHeight = 249;
constexpr int kBannerHeight = 73;
constexpr const char* kInvitation = "作者へメッセージを送ることができます。お気軽にご利用ください。";

QLabel* MakeLabel(const QString& text, QWidget* parent, int x, int y, const QFont& font) {
  auto* label = new QLabel(text, parent);
  label->setFont(font);
  label->setAttribute(Qt::WA_TranslucentBackground);
  label->adjustSize();
  label->move(x, y);
  return label;
}

QPushButton* MakeButton(const QString& text, QStyle::StandardPixmap glyph, QWidget* parent, const QRect& bounds) {
  auto* button = new QPushButton(parent->style()->standardIcon(glyph), text, parent);
  button->setGeometry(bounds);
  return button;
}

}  // namespace

TSendMsgDlg::TSendMsgDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(kSendMsgCaption);
  setFont(UiFont(UiFace::JapaneseP, 12));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(kClientWidth, kClientHeight);

  Shape1 = new QWidget(this);
  Shape1->setGeometry(0, 0, kClientWidth, kBannerHeight);
  Shape1->setAutoFillBackground(true);
  QPalette white = Shape1->palette();
  white.setColor(QPalette::Window, Qt::white);
  Shape1->setPalette(white);
  // A top line: the upper edge of a sunken line at the top of its 8 pixels.
  Bevel1 = new QFrame(this);
  Bevel1->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  Bevel1->setGeometry(0, kBannerHeight - 1, kClientWidth, 2);
  Bevel1->setFixedHeight(2);
  Label1 = MakeLabel(Text("一言メッセージ"), this, 16, 16, UiFont(UiFace::JapaneseUi, 19, true));
  const QString invitation = Text(kInvitation);
  Label2 = MakeLabel(invitation, this, 32, 48, FittedFont(font(), invitation, kClientWidth - 32 - 8));
  Memo1 = new QPlainTextEdit(this);
  Memo1->setGeometry(8, 80, 377, 129);
  BitBtn1 = MakeButton(Text("送る"), QStyle::SP_DialogApplyButton, this, QRect(104, 216, 81, 25));
  BitBtn2 = MakeButton(Text("閉じる"), QStyle::SP_DialogCloseButton, this, QRect(192, 216, 81, 25));
  BitBtn1->setAutoDefault(false);
  BitBtn2->setAutoDefault(false);
  IdHTTP1 = new TMessageSender(this);

  connect(BitBtn1, &QPushButton::clicked, this, [this] { Guarded(this, [this] { BitBtn1Click(); }); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
  connect(IdHTTP1, &TMessageSender::Finished, this, &TSendMsgDlg::SendFinished);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

TSendMsgDlg::~TSendMsgDlg() = default;

bool TSendMsgDlg::Sending() const { return IdHTTP1->Busy(); }

void TSendMsgDlg::BitBtn1Click() {
  if (Sending()) return;
  const std::string url = MessageUrl(MessageEndpoint(), MessageMainValue(Memo1->toPlainText().toStdString()));
  IdHTTP1->Send(url, MessageTimeout());
  BitBtn1->setEnabled(false);
  setCursor(Qt::BusyCursor);
}

void TSendMsgDlg::BitBtn2Click() { reject(); }

void TSendMsgDlg::reject() {
  IdHTTP1->Abort();
  unsetCursor();
  BitBtn1->setEnabled(true);
  QDialog::reject();
}

void TSendMsgDlg::SendFinished(bool delivered, const QString& message) {
  BitBtn1->setEnabled(true);
  unsetCursor();
  if (!delivered) {
    ShowStandardError(this, message.toStdString());
    return;
  }
  if (NoticeHook) {
    NoticeHook(Text(kSentCaption), Text(kSentText));
  } else {
    QMessageBox box(QMessageBox::Information, Text(kSentCaption), Text(kSentText), QMessageBox::Ok);
    box.exec();
  }
  accept();
}

}  // namespace merolune
