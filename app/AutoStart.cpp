#include "app/AutoStart.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

int StartAutoFiles(const QString& programDirectory)
{
    const QDir folder(programDirectory);
    int started = 0;

    const QFileInfo shortcut(folder.filePath(QStringLiteral("OmbrixAuto.lnk")));
    if (shortcut.isFile() &&
        QDesktopServices::openUrl(QUrl::fromLocalFile(shortcut.absoluteFilePath()))) {
        ++started;
    }

    // The desktop has no default action that runs a program, so a program of the user's
    // own is started directly, detached so it outlives us and never holds us up.
    const QFileInfo program(folder.filePath(QStringLiteral("OmbrixAuto")));
    if (program.isFile() && program.isExecutable() &&
        QProcess::startDetached(program.absoluteFilePath(), {}, folder.absolutePath())) {
        ++started;
    }
    return started;
}
