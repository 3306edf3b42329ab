#include "playback/AsciicastParser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace asciicast {

namespace {

// A whole number of cells above 0, as large as the recording says; none otherwise.
std::optional<double> Cells(const QJsonValue& value)
{
    const double cells = value.toDouble(0);
    if (!value.isDouble() || !std::isfinite(cells) || cells < 1 || cells != std::floor(cells)) {
        return std::nullopt;
    }
    return cells;
}

// The size the header gives, cut to what a terminal can show; header.clampedFrom says so.
void ReadSize(const QJsonValue& width, const QJsonValue& height, Header& header)
{
    const std::optional<double> columns = Cells(width);
    const std::optional<double> rows = Cells(height);
    if (!columns || !rows) {
        return;
    }
    const auto side = [](double cells) {
        return static_cast<int>(std::min<double>(cells, kMaxTerminalSide));
    };
    header.terminalSize = QSize(side(*columns), side(*rows));
    if (*columns > kMaxTerminalSide || *rows > kMaxTerminalSide) {
        header.clampedFrom =
            QByteArray::number(*columns, 'f', 0) + 'x' + QByteArray::number(*rows, 'f', 0);
    }
}

Header ReadHeader(const QJsonObject& object, int version)
{
    Header header;
    header.version = version;
    if (version == 3) {
        const QJsonObject term = object.value(QLatin1String("term")).toObject();
        ReadSize(term.value(QLatin1String("cols")), term.value(QLatin1String("rows")), header);
    } else {
        ReadSize(object.value(QLatin1String("width")), object.value(QLatin1String("height")),
                 header);
    }
    const QJsonValue limit = object.value(QLatin1String("idle_time_limit"));
    if (limit.isDouble() && std::isfinite(limit.toDouble()) && limit.toDouble() > 0) {
        header.idleTimeLimit = limit.toDouble();
    }
    return header;
}

std::optional<QJsonDocument> ParseJson(QByteArrayView bytes)
{
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(bytes.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError) {
        return std::nullopt;
    }
    return document;
}

bool IsBlank(QByteArrayView line)
{
    return line.trimmed().isEmpty();
}

}  // namespace

bool LooksLikeAsciicast(QByteArrayView head)
{
    if (head.startsWith("\xef\xbb\xbf")) {
        head = head.sliced(3);
    }
    qsizetype i = 0;
    while (i < head.size() &&
           (head[i] == ' ' || head[i] == '\t' || head[i] == '\r' || head[i] == '\n')) {
        ++i;
    }
    if (i >= head.size() || head[i] != '{') {
        return false;
    }
    // An object's first key follows: a raw ttyrec whose first timestamp begins with '{'
    // is not taken for one unless this, too, happens to match.
    for (++i; i < head.size(); ++i) {
        if (head[i] == '"') {
            return true;
        }
        if (head[i] != ' ' && head[i] != '\t' && head[i] != '\r' && head[i] != '\n') {
            return false;
        }
    }
    return false;
}

std::optional<Header> ParseHeaderLine(QByteArrayView line)
{
    const std::optional<QJsonDocument> document = ParseJson(line);
    if (!document || !document->isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document->object();
    const int version = object.value(QLatin1String("version")).toInt(0);
    if (version != 2 && version != 3) {
        return std::nullopt;
    }
    return ReadHeader(object, version);
}

std::optional<Header> Version1Header(const QJsonObject& keys)
{
    if (keys.value(QLatin1String("version")).toInt(0) != 1) {
        return std::nullopt;
    }
    return ReadHeader(keys, 1);
}

bool EventClock::Advance(double value, io::FrameTime& time)
{
    // v2 times are absolute; v1 delays and v3 intervals add up from the previous event.
    const double at = version_ == 2 ? value : clock_ + value;
    const std::optional<io::FrameTime> converted = io::SecondsToFrameTime(at);
    if (!converted) {
        return false;
    }
    clock_ = at;
    time = *converted;
    return true;
}

EventResult EventClock::ParseLine(QByteArrayView line, io::FrameTime& time, QByteArray& bytes)
{
    if (IsBlank(line) || (version_ == 3 && line.trimmed().startsWith('#'))) {
        return EventResult::NoFrame;
    }
    const std::optional<QJsonDocument> document = ParseJson(line);
    if (!document || !document->isArray()) {
        return EventResult::Invalid;
    }
    const QJsonArray event = document->array();
    if (event.size() < 3 || !event[0].isDouble() || !event[1].isString()) {
        return EventResult::Invalid;
    }
    io::FrameTime at;
    if (!Advance(event[0].toDouble(), at)) {
        return EventResult::Invalid;
    }
    if (event[1].toString() != QLatin1String("o")) {
        return EventResult::NoFrame;
    }
    if (!event[2].isString()) {
        return EventResult::Invalid;
    }
    bytes = event[2].toString().toUtf8();
    time = at;
    // Empty output sends nothing; a frame without bytes would read as a failed one.
    return bytes.isEmpty() ? EventResult::NoFrame : EventResult::Frame;
}

EventResult EventClock::ParseVersion1Entry(QByteArrayView entry, io::FrameTime& time,
                                           QByteArray& bytes)
{
    const std::optional<QJsonDocument> document = ParseJson(entry);
    if (!document || !document->isArray()) {
        return EventResult::Invalid;
    }
    const QJsonArray pair = document->array();
    if (pair.size() < 2 || !pair[0].isDouble() || !pair[1].isString()) {
        return EventResult::Invalid;
    }
    io::FrameTime at;
    if (!Advance(pair[0].toDouble(), at)) {
        return EventResult::Invalid;
    }
    bytes = pair[1].toString().toUtf8();
    time = at;
    return bytes.isEmpty() ? EventResult::NoFrame : EventResult::Frame;
}

}  // namespace asciicast
