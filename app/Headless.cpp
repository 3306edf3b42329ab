#include "app/Headless.h"

#include <cstdio>

namespace Headless {
void PrintLine(const char* key, const QString& text)
{
    std::printf("%s: %s\n", key, text.toUtf8().constData());
    std::fflush(stdout);
}
}  // namespace Headless
