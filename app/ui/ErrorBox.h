#pragma once
// The application's standard error box, and the one guard every event handler runs inside.

#include <QString>
#include <functional>
#include <string>

class QWidget;

namespace merolune {

// The text the standard error box shows: the message in the interface language (Messages.h) with
// "." appended when its last byte sorts after "." (so a message ending in a Japanese character or
// a letter gets one, a message ending in "." or ")" does not).
QString StandardErrorText(const std::string& message);

// The box's title: the executable's file name without its extension.
QString ApplicationTitle();

// `text` with a zero-width break opportunity after every "/" and inside every longer run of
// characters that offers none, so that a message box can wrap a long path (which has no spaces)
// instead of growing past the screen and cutting it off. Pairs of surrogates and combining marks
// stay with their characters; the text reads the same.
QString BreakableText(const QString& text);

// An error box (error icon, OK button) titled `title` over `parent`, showing `text` as plain text
// made breakable, so that it is never wider than the screen. Modal; returns when it is closed.
// Every error box of the program comes through here; a test may replace them all with a recorder
// through SetErrorBoxHook, which gets the title and the text without the break opportunities.
void ShowErrorBox(QWidget* parent, const QString& title, const QString& text);
void SetErrorBoxHook(std::function<void(const QString& title, const QString& text)> hook);

// Shows the standard error box over `parent` with StandardErrorText(message).
void ShowStandardError(QWidget* parent, const std::string& message);

// Runs `handler`; an exception that leaves it is shown in the standard error box instead of
// crossing into Qt's event loop. Returns false when one was shown.
bool Guarded(QWidget* parent, const std::function<void()>& handler) noexcept;

}  // namespace merolune
