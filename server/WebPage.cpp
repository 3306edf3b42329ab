#include "server/WebPage.h"

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
