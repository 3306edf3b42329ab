#pragma once

// Stand-ins for what the player is handed, so playback and the viewer hub run without a
// window, a socket or the clock.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "playback/FrameReader.h"
#include "playback/FrameSource.h"
#include "playback/PlaybackPorts.h"

// A recording held in memory, read from its first byte.
class MemoryInput final : public io::ByteInput
{
public:
    explicit MemoryInput(QByteArray bytes) : bytes_(std::move(bytes)) {}
    size_t Read(void* into, size_t count) override
    {
        const size_t take = std::min(count, static_cast<size_t>(bytes_.size()) - offset_);
        std::memcpy(into, bytes_.constData() + offset_, take);
        offset_ += take;
        return take;
    }

private:
    QByteArray bytes_;
    size_t offset_ = 0;
};

class MemoryCursor final : public FrameCursor
{
public:
    explicit MemoryCursor(QByteArray bytes) : input_(std::move(bytes)) {}
    io::FrameReadStatus Next(io::FrameHeader& header, QByteArray& body) override
    {
        return io::ReadFrame(input_, header, body);
    }

private:
    MemoryInput input_;
};

// A ttyrec recording in memory; its catch-up cursors read the same bytes.
class MemorySource final : public FrameSource
{
public:
    explicit MemorySource(QByteArray bytes) : bytes_(bytes), player_(std::move(bytes)) {}
    io::FrameReadStatus Next(io::FrameHeader& header, QByteArray& body) override
    {
        return player_.Next(header, body);
    }
    std::unique_ptr<FrameCursor> NewCatchUpCursor() override
    {
        return std::make_unique<MemoryCursor>(bytes_);
    }
    std::optional<double> IdleTimeLimit() const override { return idleTimeLimit; }

    std::optional<double> idleTimeLimit;

private:
    QByteArray bytes_;
    MemoryCursor player_;
};

// A timer that never fires by itself: tests tick it by calling the player.
class FakeTimer final : public PlaybackTimer
{
public:
    uint32_t Interval() const override { return interval; }
    void SetInterval(uint32_t value) override
    {
        interval = value;
        delay = std::chrono::milliseconds(value);
    }
    void SetIntervalAfter(uint32_t value, std::chrono::nanoseconds exact) override
    {
        interval = value;
        delay = exact;
    }
    bool Enabled() const override { return enabled; }
    void SetEnabled(bool value) override { enabled = value; }
    bool IsOverdue() const override { return overdueTicks > 0; }
    void TakeOverdueTick() override
    {
        --overdueTicks;
        interval = 0;
    }

    uint32_t interval = 100;
    // What the armed countdown really lasts.
    std::chrono::nanoseconds delay = std::chrono::milliseconds(100);
    bool enabled = false;
    // How many further countdowns a late tick finds already due.
    int overdueTicks = 0;
};

class FakeSpeed final : public SpeedControl
{
public:
    int PlaySpeed() const override { return speed; }
    void SetPlaySpeed(int value) override
    {
        speed = std::clamp(value, 1, 100);
        ++sets;
    }

    int speed = 1;
    int sets = 0;
};

class FakeStatus final : public PlaybackStatus
{
public:
    void SetStatusFile(const QString& text) override
    {
        file = text;
        files.append(text);
    }
    void SetStatusTime(const QString& text) override { time = text; }
    void RecordingStarted(const QString&, std::optional<QSize>) override {}

    QString file;
    QString time;
    QStringList files;  // every text panel 1 was given, in order
};

// Viewers as the player sees them: present or not, and everything broadcast.
class FakeOutput final : public FrameOutput
{
public:
    void Broadcast(const QByteArray& recorded) override { broadcasts.push_back(recorded); }
    bool HasViewers() const override { return viewers; }
    void RecordingChanged() override { ++recordingChanges; }
    void PlayedUnseen(const QByteArray& recorded) override { unseen += recorded; }
    void RejoinViewers() override { ++rejoins; }

    QByteArray All() const
    {
        QByteArray all;
        for (const QByteArray& b : broadcasts) {
            all += b;
        }
        return all;
    }

    bool viewers = false;
    std::vector<QByteArray> broadcasts;
    int recordingChanges = 0;
    QByteArray unseen;  // every frame played unseen, in order
    int rejoins = 0;
};
