#pragma once

#include <QByteArrayList>
#include <QString>

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
//   ombrix [--headless] [--port N] [--web-port N] [--web-origin HOST]... [--bind ADDRESS]
//          [--web-bind ADDRESS] [--control WHO] [--trusted-proxy ADDRESS]... [--max-viewers N]
//          [--idle-limit SECONDS] [--playlist] [--loop] [--gap SECONDS] [--follow]
//          [--spool-limit BYTES] [--join replay|screen] [--size COLSxROWS]
//          [--publish URL --channel NAME | --relay URL --channel NAME] [--help] [--version]
//          [FILE...]
// "--" ends the options; a lone "-" and every other argument is a file argument. The
// arguments are the platform's bytes, so a file name in any encoding is kept exactly.
CommandLine ParseCommandLine(const QByteArrayList& arguments);

QString UsageText();
