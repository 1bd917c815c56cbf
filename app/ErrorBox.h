#pragma once
// The application's standard error box, and the one guard every event handler runs inside.

#include <QString>
#include <functional>
#include <string>

class QWidget;

namespace merolune {

// The text the standard error box shows: the message with "." appended when its last byte
// sorts after "." (so a message ending in a Japanese character or a letter gets one, a message
// ending in "." or ")" does not).
QString StandardErrorText(const std::string& message);

// The box's title: the executable's file name without its extension.
QString ApplicationTitle();

// Shows the standard error box (error icon, OK button) over `parent`. A test may replace the
// box with a recorder through SetErrorBoxHook.
void ShowStandardError(QWidget* parent, const std::string& message);
void SetErrorBoxHook(std::function<void(const QString& title, const QString& text)> hook);

// Runs `handler`; an exception that leaves it is shown in the standard error box instead of
// crossing into Qt's event loop. Returns false when one was shown.
bool Guarded(QWidget* parent, const std::function<void()>& handler) noexcept;

}  // namespace merolune
