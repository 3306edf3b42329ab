#pragma once

#include <QByteArray>
#include <QObject>
#include <memory>

#include "platform/LineBacklog.h"
#include "platform/UniqueFd.h"

class QSocketNotifier;

// Status lines on a descriptor (standard output) that never hold up the event loop: a pipe
// nobody reads, a terminal stopped with Ctrl-S, or a closed reader must not stop playback.
// Lines wait in a bounded LineBacklog and go out as the descriptor takes them.
//
// How it writes without blocking depends on what the descriptor is:
// - a pipe, FIFO or terminal is opened anew through /proc/self/fd, which gives an open file
//   description of our own: O_NONBLOCK on it leaves the shell's terminal and the other
//   writers of the pipe as they were;
// - a socket is written with send(MSG_DONTWAIT);
// - a regular file never waits for a reader and is written as it is (shared offset, so an
//   appending file stays appended to);
// - anything else, or a reopen that fails, is written only when poll says it has room, a
//   pipe's atomic size at a time.
// A reader that is gone (EPIPE, EBADF, ...) ends the output; the program goes on.
class StatusOutput : public QObject
{
    Q_OBJECT

public:
    static constexpr size_t kDefaultCapacityBytes = 64 * 1024;

    explicit StatusOutput(int fd, size_t capacityBytes = kDefaultCapacityBytes);
    // Writes what is left, waiting a short while at most.
    ~StatusOutput() override;

    // Queues one line (key: text\n) and writes what the descriptor takes now.
    void WriteLine(const QByteArray& key, const QByteArray& text);
    // True once the reader is gone; later lines are dropped.
    bool Closed() const { return closed_; }
    size_t PendingBytes() const { return backlog_.Bytes(); }

private:
    enum class Method
    {
        Write,         // a descriptor of our own that never blocks
        Send,          // a socket: send with MSG_DONTWAIT
        PollThenWrite  // a shared blocking descriptor: write only what poll says fits
    };

    void Open(int fd);
    void Flush();
    // One write attempt of the front line: bytes written, 0 when it would wait, -1 when
    // the output is gone.
    ssize_t WriteSome();
    void Close();

    UniqueFd fd_;
    Method method_ = Method::Write;
    bool closed_ = false;
    LineBacklog backlog_;
    std::unique_ptr<QSocketNotifier> writable_;
};
