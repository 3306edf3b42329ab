#pragma once

#include <nats/nats.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "relay/NatsHandles.h"

// One connection to NATS, as leaders and relays use it: it reconnects on its own for as
// long as the program runs, buffering what is published meanwhile; its events and the
// messages of its subscriptions arrive on the program's thread. Requests that wait for an
// answer (JetStream's management, the lock) run on a worker thread of its own, so that a
// server that went away never stalls the event loop.
class NatsLink final : public QObject
{
public:
    // Where a message from JetStream stands in its stream: how many messages the stream
    // held after it when it was delivered. 0 for other messages.
    struct StreamPlace
    {
        uint64_t pending = 0;
    };
    // A message as it arrived: its bytes, and its place in the stream.
    using MessageHandler = std::function<void(const QByteArray& data, const StreamPlace& place)>;

    NatsLink();
    ~NatsLink() override;
    NatsLink(const NatsLink&) = delete;
    NatsLink& operator=(const NatsLink&) = delete;

    // Connects to url within a couple of seconds; false with the reason when it cannot.
    bool Connect(const QByteArray& url, QString* error);
    natsConnection* Connection() const { return connection_.get(); }
    jsCtx* JetStream() const { return jetStream_.get(); }
    QByteArray Url() const { return url_; }

    // Queues a message without waiting; false when the client refused it (its buffer for
    // the time without a server is full).
    bool Publish(const QByteArray& subject, const QByteArray& data);
    // The same with the header that makes JetStream drop everything the stream held before.
    bool PublishRollup(const QByteArray& subject, const QByteArray& data);

    // A plain subscription; messages beyond `limit` bytes waiting for the event loop are
    // dropped. Returns a number to Unsubscribe with, 0 on failure.
    int Subscribe(const QByteArray& subject, MessageHandler handler, qsizetype limit);
    // An ordered JetStream consumer of the stream's subject, from its first message held.
    // After a reconnection the client goes on from the last message it delivered.
    int SubscribeStream(const QByteArray& stream, const QByteArray& subject, MessageHandler handler,
                        qsizetype limit);
    void Unsubscribe(int subscription);

    // Runs job on the worker thread, after those queued before it.
    void RunInBackground(std::function<void()> job);
    // Runs what is queued for the worker, then ends it; later jobs are dropped.
    void FinishBackground();
    // Runs job on the program's thread (from the worker, say).
    void RunOnLoop(std::function<void()> job);

    // The server went away, or came back (on the program's thread).
    std::function<void()> OnDisconnected;
    std::function<void()> OnReconnected;

private:
    struct Subscription;

    static void Disconnected(natsConnection*, void* closure);
    static void Reconnected(natsConnection*, void* closure);
    static void MessageArrived(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    void WorkerLoop();

    QByteArray url_;
    int inboxId_ = 0;
    NatsPtr<natsConnection> connection_;
    NatsPtr<jsCtx> jetStream_;
    std::vector<std::unique_ptr<Subscription>> subscriptions_;

    std::mutex jobsMutex_;
    std::condition_variable jobsReady_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    bool finishing_ = false;
    std::thread worker_;
};

// The client's text for a status, with its last error's detail when it has one.
QString NatsErrorText(natsStatus status);
