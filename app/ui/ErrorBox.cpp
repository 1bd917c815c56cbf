// The standard error box and the guard that shows it for a failing event handler.

#include "ErrorBox.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <exception>

#include "Exception.h"
#include "Messages.h"

namespace merolune {

namespace {

// Runs longer than this get a break opportunity: short enough that a run of the widest
// characters stays well inside the narrowest width a message box chooses for wrapped text.
constexpr int kLongestRun = 16;
constexpr char16_t kZeroWidthSpace = u'\u200B';

std::function<void(const QString&, const QString&)>& Hook() {
  static std::function<void(const QString&, const QString&)> hook;
  return hook;
}

}  // namespace

QString StandardErrorText(const std::string& message) {
  std::string text = LocalizedMessage(message);
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) text += '.';
  return QString::fromStdString(text);
}

QString ApplicationTitle() {
  const QString path = QCoreApplication::applicationFilePath();
  const QString name =
      path.isEmpty() ? QCoreApplication::applicationName() : QFileInfo(path).completeBaseName();
  return name;
}

QString BreakableText(const QString& text) {
  QString breakable;
  breakable.reserve(text.size() + text.size() / kLongestRun + 8);
  int run = 0;
  for (const QChar c : text) {
    if (run >= kLongestRun && !c.isLowSurrogate() && !c.isMark()) {
      breakable += kZeroWidthSpace;
      run = 0;
    }
    breakable += c;
    if (c == u'/') {
      // Line breaking keeps "/" with a digit after it, so a slash alone is not always a break.
      breakable += kZeroWidthSpace;
      run = 0;
    } else {
      run = c.isSpace() || c == kZeroWidthSpace ? 0 : run + 1;
    }
  }
  return breakable;
}

void ShowErrorBox(QWidget* parent, const QString& title, const QString& text) {
  if (Hook()) {
    Hook()(title, text);
    return;
  }
  QMessageBox box(QMessageBox::Critical, title, BreakableText(text), QMessageBox::Ok, parent);
  // A file name is shown as it is, even where it looks like markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void ShowStandardError(QWidget* parent, const std::string& message) {
  ShowErrorBox(parent, ApplicationTitle(), StandardErrorText(message));
}

void SetErrorBoxHook(std::function<void(const QString& title, const QString& text)> hook) {
  Hook() = std::move(hook);
}

bool Guarded(QWidget* parent, const std::function<void()>& handler) noexcept {
  try {
    handler();
    return true;
  } catch (...) {
    try {
      ShowStandardError(parent, CurrentExceptionText("unknown error"));
    } catch (...) {
      // Nothing more can be done for the user; the window goes on as before.
    }
  }
  return false;
}

}  // namespace merolune
