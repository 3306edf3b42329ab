#pragma once

#include <QString>
#include <QStringList>

#include "app/UnitOmbrix.h"

// What the command line asks for, with the options taken out of the file arguments.
struct CommandLine
{
    FormOptions form;
    bool help = false;
    bool version = false;
    // Set when an option or its value is wrong; the program prints it with the usage.
    QString error;
};

// Reads the arguments after the program name:
//   ombrix [--headless] [--port N] [--help] [--version] [FILE...]
// "--" ends the options; a lone "-" and every other argument is a file argument.
CommandLine ParseCommandLine(const QStringList& arguments);

QString UsageText();
