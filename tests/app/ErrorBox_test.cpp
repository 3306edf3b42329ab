// The window's error display: a modal box titled with the application's name, with the
// error icon for failures and none for the program's notices; headless, a line instead.
#include "app/ErrorBox.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "platform/ErrorDisplay.h"

namespace {

struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool shown = false;
};

// Shows through the installed display and answers the box as soon as it is up.
SeenBox ShowAndAnswer(const std::function<void()>& show)
{
    SeenBox seen;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen = {box->windowTitle(), box->text(), box->icon(), true};
            box->accept();
        }
    });
    answer.start(10);
    show();
    return seen;
}

TEST(ErrorBox, WindowShowsABoxOfTheRightKindAndHeadlessALine)
{
    InstallErrorDisplay(false);
    const SeenBox error =
        ShowAndAnswer([] { ErrorDisplay::ShowMessage(QStringLiteral("(98) [API 'bind']")); });
    EXPECT_TRUE(error.shown);
    EXPECT_EQ(error.title, QApplication::applicationDisplayName());
    EXPECT_EQ(error.text, QStringLiteral("(98) [API 'bind']."));
    EXPECT_EQ(error.icon, QMessageBox::Critical);
    const SeenBox notice = ShowAndAnswer([] { ErrorDisplay::ShowNotice(QStringLiteral("あれ?")); });
    EXPECT_EQ(notice.text, QStringLiteral("あれ?"));
    EXPECT_EQ(notice.icon, QMessageBox::NoIcon);

    InstallErrorDisplay(true);
    testing::internal::CaptureStderr();
    const SeenBox headless = ShowAndAnswer([] { ErrorDisplay::ShowMessage(QStringLiteral("x")); });
    EXPECT_FALSE(headless.shown);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "x.\n");
}

}  // namespace
