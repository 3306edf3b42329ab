// The main of every test executable: a Qt application on the offscreen platform (one
// with widgets for the window's tests only, so the layers below never link them), a
// private runtime folder, the program the end-to-end tests start, then every test.
// Errors reach standard error: no test installs the window's error box.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "support/OmbrixProcess.h"

#ifdef OMBRIX_TEST_WIDGETS
#include <QApplication>

#include "common/Texts.h"
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtimeDir;
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit());
    TestApplication app(argc, argv);
#ifdef OMBRIX_TEST_WIDGETS
    QApplication::setApplicationDisplayName(Texts::ApplicationTitle);
#endif
    OmbrixProcess::SetDefaultProgram(QStringLiteral(OMBRIX_BINARY));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
