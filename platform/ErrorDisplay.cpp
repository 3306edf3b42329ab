#include "platform/ErrorDisplay.h"

#include <cstdio>

#include "platform/Exceptions.h"

namespace ErrorDisplay {
namespace {
Handler& InstalledHandler()
{
    static Handler handler;
    return handler;
}

void Show(Kind kind, const QString& text)
{
    // A copy, so a handler that replaces itself while it shows a box stays alive until
    // the box is answered.
    const Handler handler = InstalledHandler();
    if (handler) {
        handler(kind, text);
    } else {
        WriteLine(kind, text);
    }
}
}  // namespace

void WriteLine(Kind, const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void SetHandler(Handler handler)
{
    InstalledHandler() = std::move(handler);
}

QString Decorate(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.')) {
        return message + QLatin1Char('.');
    }
    return message;
}

void ShowMessage(const QString& message)
{
    Show(Kind::Error, Decorate(message));
}

void ShowNotice(const QString& message)
{
    Show(Kind::Notice, message);
}

void ShowCurrentException()
{
    try {
        throw;
    } catch (const Exception& error) {
        ShowMessage(error.Message());
    } catch (...) {
        ShowMessage(QString());
    }
}

}  // namespace ErrorDisplay
