#include "app/ErrorBox.h"

#include <QApplication>
#include <QMessageBox>

#include "platform/ErrorDisplay.h"

namespace {
void ShowBox(ErrorDisplay::Kind kind, const QString& text)
{
    // Before the application object exists, or after it is gone, there is no window to
    // hold a box.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        ErrorDisplay::WriteLine(kind, text);
        return;
    }
    const QMessageBox::Icon icon =
        kind == ErrorDisplay::Kind::Error ? QMessageBox::Critical : QMessageBox::NoIcon;
    QMessageBox box(icon, QApplication::applicationDisplayName(), text, QMessageBox::Ok);
    box.exec();
}
}  // namespace

void InstallErrorDisplay(bool headless)
{
    ErrorDisplay::SetHandler(headless ? ErrorDisplay::Handler() : ErrorDisplay::Handler(ShowBox));
}
