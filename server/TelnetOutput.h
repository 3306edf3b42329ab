#pragma once

#include <QByteArray>

// What the program writes to a telnet client: its greeting, and the recorded bytes with
// every 0xFF doubled, so the client never takes recorded output for a telnet command.
// Frames travel as recorded everywhere else; this is the one place that changes them.

// What each new telnet viewer is sent first: IAC WILL ECHO, IAC WILL SUPPRESS-GO-AHEAD,
// and IAC DO 243, so the client stops echoing and sends each key as it is typed.
inline const QByteArray TelnetGreeting =
    QByteArray::fromRawData("\xff\xfb\x01\xff\xfb\x03\xff\xfd\xf3", 9);

// Doubles every 0xFF of the first `length` bytes of `data`, in place, in one pass from
// the back. `data` must hold room for the escaped bytes (twice the length at most).
// Returns the escaped length.
qsizetype EscapeTelnetIac(char* data, qsizetype length);

// Doubles every 0xFF of `bytes` in place, growing it; its block is kept when it has room.
void EscapeTelnetIac(QByteArray& bytes);

// The recorded bytes as a telnet client must get them. Without any 0xFF (nearly every
// frame: UTF-8 has no such byte) the result shares the given block: nothing is copied.
QByteArray TelnetEscaped(const QByteArray& recorded);
