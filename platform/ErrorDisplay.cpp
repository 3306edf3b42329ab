#include "platform/ErrorDisplay.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "platform/Exceptions.h"

namespace ErrorDisplay {
namespace {
bool headlessMode = false;
}

void SetHeadless(bool headless)
{
    headlessMode = headless;
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
    const QString text = Decorate(message);
    if (headlessMode || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok);
    box.exec();
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
