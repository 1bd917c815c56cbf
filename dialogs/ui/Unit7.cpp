// The explanation dialog: the browser pane, the OK strip, and finding the page.

#include "Unit7.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPushButton>
#include <QStyle>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "Fonts.h"
#include "HelpFiles.h"

namespace merolune {

namespace {

constexpr int kWidth = 696;
constexpr int kHeight = 480;
constexpr int kLeft = 207;
constexpr int kTop = 234;
constexpr int kPanelHeight = 41;

}  // namespace

TRiderDlg::TRiderDlg(QWidget* parent, QString executableDir)
    : QDialog(parent), executableDir_(std::move(executableDir)) {
  setWindowTitle(QCoreApplication::translate("TRiderDlg", kRiderCaption));
  setFont(UiFont(UiFace::JapaneseP, 12));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::WindowMaximizeButtonHint);
  resize(kWidth, kHeight);
  move(kLeft, kTop);

  WebBrowser1 = new QTextBrowser(this);
  // Links out of the page go to the user's browser; anchors inside it scroll the pane.
  WebBrowser1->setOpenExternalLinks(true);
  Panel1 = new QWidget(this);
  Panel1->setFixedHeight(kPanelHeight);
  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), Panel1);
  BitBtn1->setGeometry(600, 8, 75, 25);
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(WebBrowser1, 1);
  layout->addWidget(Panel1);
}

TRiderDlg::~TRiderDlg() = default;

void TRiderDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
}

void TRiderDlg::FormShow() {
  const QString dir = executableDir_.isEmpty() ? QCoreApplication::applicationDirPath() : executableDir_;
  pagePath_ = RiderPagePath(dir);
  if (QFileInfo(pagePath_).isFile()) {
    const QUrl page = QUrl::fromLocalFile(pagePath_);
    // The same source again is only a scroll for the browser; reload reads the file anew.
    if (WebBrowser1->source() == page) {
      WebBrowser1->reload();
    } else {
      WebBrowser1->setSource(page, QTextDocument::HtmlResource);
    }
  } else {
    WebBrowser1->setHtml(MissingRiderPage(pagePath_));
  }
}

}  // namespace merolune
