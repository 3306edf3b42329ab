#include "relay/ChannelNames.h"

namespace {
bool IsAsciiAlphanumeric(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
}  // namespace

std::optional<ChannelNames> ChannelNamesFor(const QByteArray& name, QString* error)
{
    QByteArray clean;
    bool hasAlphanumeric = false;
    for (const char c : name) {
        hasAlphanumeric = hasAlphanumeric || IsAsciiAlphanumeric(c);
        clean.append(IsAsciiAlphanumeric(c) || c == '-' || c == '_' ? c : '_');
    }
    if (!hasAlphanumeric || clean.size() > kMaxChannelNameBytes) {
        if (error != nullptr) {
            *error = QStringLiteral(
                         "--channel needs a name of 1 to %1 characters with a letter or a "
                         "digit, not \"%2\"")
                         .arg(kMaxChannelNameBytes)
                         .arg(QString::fromLocal8Bit(name));
        }
        return std::nullopt;
    }
    ChannelNames names;
    names.channel = clean;
    names.stream = "OMBRIX_" + clean;
    const QByteArray prefix = "ombrix." + clean + '.';
    names.playSubject = prefix + "play";
    names.keysSubject = prefix + "keys";
    names.viewersSubject = prefix + "viewers";
    names.leaderSubject = prefix + "leader";
    names.lockKey = clean;
    return names;
}
