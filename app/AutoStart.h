#pragma once

#include <QString>

// Starts "OmbrixAuto.lnk" beside the program with the desktop's default action
// (QDesktopServices::openUrl), and an executable "OmbrixAuto" beside the program with
// QProcess::startDetached (working directory: the program's directory). Missing files do
// nothing; failures are not reported. Returns how many were started (for tests).
int StartAutoFiles(const QString& programDirectory);
