#pragma once

// The program's error display: with a window, a modal box titled with the application's
// display name (the error icon for failures, none for the program's own notices); headless,
// one line on standard error. Installed once at start, before anything can fail.
void InstallErrorDisplay(bool headless);
