#include "app/AutoStart.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

// Stands in for the desktop's default action, so no real application is launched.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    UrlCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    QList<QUrl> opened;

public slots:
    void Open(const QUrl& url) { opened.append(url); }
};

void WriteFile(const QString& path, const QByteArray& content, QFile::Permissions permissions)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    ASSERT_TRUE(file.setPermissions(permissions));
}

// True while the process lives; a zombie nobody has reaped yet counts as ended.
bool IsRunning(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) != "Z";
}

const QFile::Permissions kReadWrite = QFile::ReadOwner | QFile::WriteOwner;
const QFile::Permissions kExecutable = kReadWrite | QFile::ExeOwner;

}  // namespace

TEST(AutoStart, NothingBesideTheProgramStartsNothing)
{
    UrlCatcher desktop;
    QTemporaryDir folder;
    EXPECT_EQ(StartAutoFiles(folder.path()), 0);

    // Folders of those names, and a program that may not be run, are not started either.
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("OmbrixAuto.lnk")));
    WriteFile(folder.filePath(QStringLiteral("OmbrixAuto")), "#!/bin/sh\ntouch ran\n", kReadWrite);
    EXPECT_EQ(StartAutoFiles(folder.path()), 0);
    QTest::qWait(200);
    EXPECT_FALSE(QFile::exists(folder.filePath(QStringLiteral("ran"))));
    EXPECT_TRUE(desktop.opened.isEmpty());
}

TEST(AutoStart, ShortcutOpenedAndProgramRunInItsFolder)
{
    UrlCatcher desktop;
    QTemporaryDir folder;
    const QString shortcut = folder.filePath(QStringLiteral("OmbrixAuto.lnk"));
    WriteFile(shortcut, "[InternetShortcut]\n", kReadWrite);
    // The program reports where it ran and who it was; the rename makes the report whole.
    WriteFile(folder.filePath(QStringLiteral("OmbrixAuto")),
              "#!/bin/sh\n{ pwd; echo $$; } > report.tmp && mv report.tmp report\n", kExecutable);

    EXPECT_EQ(StartAutoFiles(folder.path()), 2);
    ASSERT_EQ(desktop.opened.size(), 1);
    EXPECT_EQ(desktop.opened[0], QUrl::fromLocalFile(shortcut));

    const QString report = folder.filePath(QStringLiteral("report"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(report); }, 5000));
    QFile file(report);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(QDir(QString::fromLocal8Bit(lines[0])).canonicalPath(),
              QDir(folder.path()).canonicalPath());
    const pid_t pid = static_cast<pid_t>(lines[1].toInt());
    ASSERT_GT(pid, 0);
    // It ends by itself; make sure of it.
    if (!QTest::qWaitFor([&] { return !IsRunning(pid); }, 2000)) {
        ::kill(pid, SIGKILL);
    }
}

#include "AutoStart_test.moc"
