#pragma once

#include <QByteArray>
#include <QString>

// What each new viewer is sent first: IAC WILL ECHO, IAC WILL SUPPRESS-GO-AHEAD, and
// IAC DO 243, so the client stops echoing and sends each key as it is typed.
inline const QByteArray TelnetGreeting =
    QByteArray::fromRawData("\xff\xfb\x01\xff\xfb\x03\xff\xfd\xf3", 9);
