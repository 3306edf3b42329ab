#pragma once

#include <QByteArray>

// What the session of tests/recordings (made by tests/recordings/make) printed, as the
// terminal saw it: its line breaks became CR CR LF. The asciicast copy has the text
// "\377" where the ttyrec copies have the byte 0xFF, which telnet viewers get doubled:
// `iac` is what a viewer gets there.
inline QByteArray SessionOutput(const QByteArray& iac)
{
    return "Ombrix format test\r\r\n"
           "\x1b[1mbold\x1b[0m and \x1b[31mred\x1b[0m\r\r\n"
           "iac:" +
           iac +
           ":end\r\r\n"
           "\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf\xe3\x80\x81"
           "\xe4\xb8\x96\xe7\x95\x8c\r\r\n"
           "done\r\r\n";
}
