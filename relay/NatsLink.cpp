#include "relay/NatsLink.h"

#include <QMetaObject>

#include "platform/ErrorDisplay.h"
#include "relay/NatsInbox.h"

namespace {
// How long a connection attempt, and each request, may take.
constexpr int64_t kTimeoutMs = 2000;
// How often a lost server is tried again, for as long as the program runs.
constexpr int64_t kReconnectWaitMs = 250;
// What the client keeps of the messages published while the server is away; past it, a
// publication fails and the leader sends the recording afresh once it is back.
constexpr int kReconnectBufferBytes = 64 * 1024 * 1024;
}  // namespace

// Where one subscription's messages are delivered: on the program's thread, through the
// inbox, so a message that arrives while it goes is dropped.
struct NatsLink::Subscription : QObject
{
    int inboxId = 0;
    MessageHandler handler;
    NatsPtr<natsSubscription> handle;
    ~Subscription() override
    {
        NatsInbox::Unregister(inboxId);
        handle.reset();
    }
};

QString NatsErrorText(natsStatus status)
{
    natsStatus last = NATS_OK;
    const char* detail = nats_GetLastError(&last);
    QString text = QString::fromUtf8(natsStatus_GetText(status));
    if (detail != nullptr && *detail != '\0' && QString::fromUtf8(detail) != text) {
        text += QStringLiteral(" (") + QString::fromUtf8(detail) + QLatin1Char(')');
    }
    return text;
}

NatsLink::NatsLink() : inboxId_(NatsInbox::Register(this))
{
    worker_ = std::thread([this] { WorkerLoop(); });
}

NatsLink::~NatsLink()
{
    NatsInbox::Unregister(inboxId_);
    {
        const std::lock_guard lock(jobsMutex_);
        stopping_ = true;
        jobs_.clear();
    }
    jobsReady_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    subscriptions_.clear();
    jetStream_.reset();
    connection_.reset();
}

bool NatsLink::Connect(const QByteArray& url, QString* error)
{
    url_ = url;
    natsOptions* raw = nullptr;
    if (natsOptions_Create(&raw) != NATS_OK) {
        *error = QStringLiteral("cannot set up the NATS client");
        return false;
    }
    const NatsPtr<natsOptions> options(raw);
    natsOptions_SetURL(raw, url.constData());
    natsOptions_SetTimeout(raw, kTimeoutMs);
    natsOptions_SetMaxReconnect(raw, -1);
    natsOptions_SetReconnectWait(raw, kReconnectWaitMs);
    natsOptions_SetReconnectBufSize(raw, kReconnectBufferBytes);
    natsOptions_SetDisconnectedCB(raw, &NatsLink::Disconnected, NatsInbox::Closure(inboxId_));
    natsOptions_SetReconnectedCB(raw, &NatsLink::Reconnected, NatsInbox::Closure(inboxId_));
    natsConnection* connection = nullptr;
    const natsStatus status = natsConnection_Connect(&connection, raw);
    if (status != NATS_OK) {
        *error = QStringLiteral("cannot reach NATS at %1: %2")
                     .arg(QString::fromLocal8Bit(url), NatsErrorText(status));
        return false;
    }
    connection_.reset(connection);
    jsCtx* context = nullptr;
    jsOptions contextOptions;
    jsOptions_Init(&contextOptions);
    contextOptions.Wait = kTimeoutMs;
    if (natsConnection_JetStream(&context, connection, &contextOptions) != NATS_OK) {
        *error = QStringLiteral("cannot use JetStream at %1").arg(QString::fromLocal8Bit(url));
        return false;
    }
    jetStream_.reset(context);
    return true;
}

void NatsLink::Disconnected(natsConnection*, void* closure)
{
    NatsInbox::Post(NatsInbox::IdOf(closure), [](QObject* target) {
        auto* link = static_cast<NatsLink*>(target);
        if (link->OnDisconnected) {
            ErrorDisplay::Guard([link] { link->OnDisconnected(); });
        }
    });
}

void NatsLink::Reconnected(natsConnection*, void* closure)
{
    NatsInbox::Post(NatsInbox::IdOf(closure), [](QObject* target) {
        auto* link = static_cast<NatsLink*>(target);
        if (link->OnReconnected) {
            ErrorDisplay::Guard([link] { link->OnReconnected(); });
        }
    });
}

bool NatsLink::Publish(const QByteArray& subject, const QByteArray& data)
{
    return connection_ &&
           natsConnection_Publish(connection_.get(), subject.constData(), data.constData(),
                                  static_cast<int>(data.size())) == NATS_OK;
}

bool NatsLink::PublishRollup(const QByteArray& subject, const QByteArray& data)
{
    natsMsg* raw = nullptr;
    if (!connection_ || natsMsg_Create(&raw, subject.constData(), nullptr, data.constData(),
                                       static_cast<int>(data.size())) != NATS_OK) {
        return false;
    }
    const NatsPtr<natsMsg> message(raw);
    return natsMsgHeader_Set(raw, "Nats-Rollup", "all") == NATS_OK &&
           natsConnection_PublishMsg(connection_.get(), raw) == NATS_OK;
}

void NatsLink::MessageArrived(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
{
    const NatsPtr<natsMsg> message(msg);
    const int length = natsMsg_GetDataLength(msg);
    QByteArray data(natsMsg_GetData(msg), length);
    StreamPlace place;
    jsMsgMetaData* raw = nullptr;
    if (natsMsg_GetMetaData(&raw, msg) == NATS_OK) {
        const NatsPtr<jsMsgMetaData> meta(raw);
        place.pending = meta->NumPending;
    }
    // Past the subscription's limit the message is dropped: the program's thread is behind,
    // and a relay sees the gap by the frames' numbers and starts the recording afresh.
    const int id = NatsInbox::IdOf(closure);
    const qsizetype weight = data.size() + 64;
    NatsInbox::Post(
        id,
        [data = std::move(data), place](QObject* target) {
            auto* subscription = static_cast<Subscription*>(target);
            ErrorDisplay::Guard([&] { subscription->handler(data, place); });
        },
        weight);
}

int NatsLink::Subscribe(const QByteArray& subject, MessageHandler handler, qsizetype limit)
{
    auto subscription = std::make_unique<Subscription>();
    subscription->inboxId = NatsInbox::Register(subscription.get(), limit);
    subscription->handler = std::move(handler);
    natsSubscription* raw = nullptr;
    if (natsConnection_Subscribe(&raw, connection_.get(), subject.constData(),
                                 &NatsLink::MessageArrived,
                                 NatsInbox::Closure(subscription->inboxId)) != NATS_OK) {
        return 0;
    }
    subscription->handle.reset(raw);
    const int id = subscription->inboxId;
    subscriptions_.push_back(std::move(subscription));
    return id;
}

int NatsLink::SubscribeStream(const QByteArray& stream, const QByteArray& subject,
                              MessageHandler handler, qsizetype limit)
{
    auto subscription = std::make_unique<Subscription>();
    subscription->inboxId = NatsInbox::Register(subscription.get(), limit);
    subscription->handler = std::move(handler);
    jsSubOptions options;
    jsSubOptions_Init(&options);
    options.Stream = stream.constData();
    options.Ordered = true;
    natsSubscription* raw = nullptr;
    if (js_Subscribe(&raw, jetStream_.get(), subject.constData(), &NatsLink::MessageArrived,
                     NatsInbox::Closure(subscription->inboxId), nullptr, &options,
                     nullptr) != NATS_OK) {
        return 0;
    }
    subscription->handle.reset(raw);
    const int id = subscription->inboxId;
    subscriptions_.push_back(std::move(subscription));
    return id;
}

void NatsLink::Unsubscribe(int subscription)
{
    std::erase_if(subscriptions_, [subscription](const std::unique_ptr<Subscription>& s) {
        return s->inboxId == subscription;
    });
}

void NatsLink::RunInBackground(std::function<void()> job)
{
    {
        const std::lock_guard lock(jobsMutex_);
        if (finishing_ || stopping_) {
            return;
        }
        jobs_.push_back(std::move(job));
    }
    jobsReady_.notify_one();
}

void NatsLink::FinishBackground()
{
    {
        const std::lock_guard lock(jobsMutex_);
        finishing_ = true;
    }
    jobsReady_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void NatsLink::RunOnLoop(std::function<void()> job)
{
    NatsInbox::Post(inboxId_, [job = std::move(job)](QObject*) { ErrorDisplay::Guard(job); });
}

void NatsLink::WorkerLoop()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(jobsMutex_);
            jobsReady_.wait(lock, [this] { return stopping_ || finishing_ || !jobs_.empty(); });
            if (stopping_ || jobs_.empty()) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}
