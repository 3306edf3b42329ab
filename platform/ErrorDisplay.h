#pragma once

#include <QString>
#include <functional>
#include <utility>

// The application's error display. The guard and the texts live here, low, so that every
// layer can report; how a message reaches the user is a handler that the program installs
// at start (a box in the window, a line on standard error when headless). Without one a
// message is one line on standard error, so a relay, a benchmark or a test needs no
// widgets.
namespace ErrorDisplay {

enum class Kind
{
    Error,   // a failure: shown with the error icon
    Notice,  // a message of the program's own: shown as written, without an icon
};

// Shows one text; called on the event loop's thread, may block until the user answers.
using Handler = std::function<void(Kind kind, const QString& text)>;
// Replaces the handler; an empty one restores the line on standard error.
void SetHandler(Handler handler);
// What shows a text when no handler is installed: one line on standard error, flushed.
void WriteLine(Kind kind, const QString& text);

// The text as the user sees it: a full stop is appended when the message is not empty
// and its last character sorts after ".".
QString Decorate(const QString& message);

void ShowMessage(const QString& message);
// A message of the program's own rather than an error: shown exactly as written.
void ShowNotice(const QString& message);

// Shows the exception being handled; call only inside a catch block. Errors of the
// framework's kind show their message, any other kind an empty one.
void ShowCurrentException();

// Every entry point from the event loop goes through this, so no exception unwinds
// through Qt and the loop goes on after the message.
template <class F>
void Guard(F&& entry) noexcept
{
    try {
        std::forward<F>(entry)();
    } catch (...) {
        ShowCurrentException();
    }
}

}  // namespace ErrorDisplay
