// The main of every test executable: a Qt application on the offscreen platform, a
// private runtime folder, then every test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtimeDir;
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit());
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(Texts::ApplicationTitle);
    // Errors become lines on standard error: a modal box would wait for a click forever.
    ErrorDisplay::SetHeadless(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
