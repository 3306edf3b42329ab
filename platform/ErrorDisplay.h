#pragma once

#include <QString>
#include <utility>

// The application's error display. With a window it is a modal box titled with the
// application title; headless it is one line on standard error.
namespace ErrorDisplay {

void SetHeadless(bool headless);

// The text as the user sees it: a full stop is appended when the message is not empty
// and its last character sorts after ".".
QString Decorate(const QString& message);

void ShowMessage(const QString& message);
// A message of the program's own rather than an error: shown exactly as written, in a box
// without an icon (headless, one line on standard error).
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
