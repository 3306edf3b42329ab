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

namespace {
void Show(QMessageBox::Icon icon, const QString& text)
{
    if (headlessMode || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
        return;
    }
    QMessageBox box(icon, QApplication::applicationDisplayName(), text, QMessageBox::Ok);
    box.exec();
}
}  // namespace

void ShowMessage(const QString& message)
{
    Show(QMessageBox::Critical, Decorate(message));
}

void ShowNotice(const QString& message)
{
    Show(QMessageBox::NoIcon, message);
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
