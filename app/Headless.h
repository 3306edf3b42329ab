#pragma once

#include <QString>

namespace Headless {
// Prints "KEY: TEXT" on standard output and flushes it at once, so a reader of the
// stream sees each change as it happens.
void PrintLine(const char* key, const QString& text);
}  // namespace Headless
