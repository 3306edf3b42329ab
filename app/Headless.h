#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// The status lines of a program without a window: "KEY: TEXT", one a change.
namespace Headless {

// Where lines go: main gives a StatusOutput on standard output; tests give their own.
// Without one, lines are printed and flushed at once.
using Writer = std::function<void(const QByteArray& key, const QByteArray& text)>;
void SetWriter(Writer writer);

// Prints "KEY: TEXT" (or holds it, see below), so a reader sees each change as it happens.
void PrintLine(const char* key, const QString& text);

// Holds every line from now until the event loop's next turn, then sends them in order.
// A line written while the server is between bind and listen would tell a supervisor to
// connect before connect() can succeed.
void HoldUntilNextLoopTurn();
// Forgets the held lines: start-up failed and what they announced never came true.
void DiscardHeld();

}  // namespace Headless
