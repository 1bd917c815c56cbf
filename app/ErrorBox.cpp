#include "ErrorBox.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <exception>

namespace merolune {

namespace {

std::function<void(const QString&, const QString&)>& Hook() {
  static std::function<void(const QString&, const QString&)> hook;
  return hook;
}

}  // namespace

QString StandardErrorText(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) text += '.';
  return QString::fromStdString(text);
}

QString ApplicationTitle() {
  const QString path = QCoreApplication::applicationFilePath();
  const QString name = path.isEmpty() ? QCoreApplication::applicationName() : QFileInfo(path).completeBaseName();
  return name;
}

void ShowStandardError(QWidget* parent, const std::string& message) {
  const QString text = StandardErrorText(message);
  if (Hook()) {
    Hook()(ApplicationTitle(), text);
    return;
  }
  QMessageBox::critical(parent, ApplicationTitle(), text, QMessageBox::Ok);
}

void SetErrorBoxHook(std::function<void(const QString& title, const QString& text)> hook) { Hook() = std::move(hook); }

bool Guarded(QWidget* parent, const std::function<void()>& handler) noexcept {
  try {
    handler();
    return true;
  } catch (const std::exception& e) {
    try {
      ShowStandardError(parent, e.what());
    } catch (...) {
      // Nothing more can be done for the user; the window goes on as before.
    }
  } catch (...) {
    try {
      ShowStandardError(parent, "unknown error");
    } catch (...) {
    }
  }
  return false;
}

}  // namespace merolune
