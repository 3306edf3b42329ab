#include "server/WebPage.h"

#include <QFile>
#include <QHash>
#include <array>

namespace {
struct Entry
{
    const char* path;
    const char* resource;
    const char* contentType;
};

constexpr std::array kEntries{
    Entry{"/", ":/web/index.html", "text/html; charset=utf-8"},
    Entry{"/index.html", ":/web/index.html", "text/html; charset=utf-8"},
    Entry{"/texts.js", ":/web/texts.js", "text/javascript; charset=utf-8"},
    Entry{"/feed.js", ":/web/feed.js", "text/javascript; charset=utf-8"},
    Entry{"/page.js", ":/web/page.js", "text/javascript; charset=utf-8"},
    Entry{"/page.css", ":/web/page.css", "text/css; charset=utf-8"},
    Entry{"/xterm.js", ":/web/xterm.js", "text/javascript; charset=utf-8"},
    Entry{"/xterm.css", ":/web/xterm.css", "text/css; charset=utf-8"},
};
}  // namespace

std::optional<WebResource> FindWebResource(QByteArrayView path)
{
    for (const Entry& entry : kEntries) {
        if (path == QByteArrayView(entry.path)) {
            return WebResource{QString::fromLatin1(entry.resource), QByteArray(entry.contentType)};
        }
    }
    return std::nullopt;
}

// Many clients asking for the terminal's script at once share one copy of it, whether
// they read their answer or not.
QByteArray WebResourceBytes(const WebResource& resource)
{
    static QHash<QString, QByteArray> loaded;
    const auto found = loaded.constFind(resource.resourcePath);
    if (found != loaded.constEnd()) {
        return *found;
    }
    QFile file(resource.resourcePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return loaded.insert(resource.resourcePath, file.readAll()).value();
}
