#include "app/Headless.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <utility>
#include <vector>

namespace Headless {
namespace {
Writer writer;
bool holding = false;
std::vector<std::pair<QByteArray, QByteArray>> held;

void Write(const QByteArray& key, const QByteArray& text)
{
    if (writer) {
        writer(key, text);
        return;
    }
    std::printf("%s: %s\n", key.constData(), text.constData());
    std::fflush(stdout);
}

void ReleaseHeld()
{
    holding = false;
    for (const auto& [key, text] : std::exchange(held, {})) {
        Write(key, text);
    }
}
}  // namespace

void SetWriter(Writer newWriter)
{
    writer = std::move(newWriter);
}

void PrintLine(const char* key, const QString& text)
{
    if (holding) {
        held.emplace_back(QByteArray(key), text.toUtf8());
        return;
    }
    Write(QByteArray(key), text.toUtf8());
}

void HoldUntilNextLoopTurn()
{
    if (holding || QCoreApplication::instance() == nullptr) {
        return;
    }
    holding = true;
    QTimer::singleShot(0, QCoreApplication::instance(), &ReleaseHeld);
}

void DiscardHeld()
{
    holding = false;
    held.clear();
}

}  // namespace Headless
