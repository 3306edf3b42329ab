#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// One file of the browser page, as built into the program.
struct WebResource
{
    QString resourcePath;  // in the Qt resource system
    QByteArray contentType;
};

// The file a request path names, if any: "/" is the page itself.
std::optional<WebResource> FindWebResource(QByteArrayView path);

// A file's bytes, read from the resources once and shared by every answer that sends it;
// empty when it cannot be read.
QByteArray WebResourceBytes(const WebResource& resource);
