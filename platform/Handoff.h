#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "platform/UniqueFd.h"

class QSocketNotifier;

// The endpoint a first instance listens on for recordings handed over by later ones:
// a Unix-domain socket "<RuntimeDirectory()>/<name>.sock", mode 0600, peer uid checked with
// SO_PEERCRED (other users are refused). Request: tag (uint32, host order), byte count
// (uint32), bytes; answer: int32 result. Non-blocking, driven by QSocketNotifier, one small
// state machine per client, bounded request size and a timeout for silent clients, so a bad
// client can neither block nor crash the loop.
class HandoffServer : public QObject
{
    Q_OBJECT

public:
    // handler(tag, bytes) -> result; runs on the event loop, through ErrorDisplay::Guard.
    // A handler that throws answers 0.
    using Handler = std::function<int32_t(uint32_t tag, const QByteArray& bytes)>;

    // Requests whose byte count is larger are refused: the client is hung up on unanswered.
    static constexpr uint32_t kMaxRequestBytes = 64 * 1024;
    static constexpr int kDefaultClientTimeoutMs = 5000;

    HandoffServer(const QString& name, Handler handler, QObject* parent = nullptr);
    // Closes and unlinks the socket file; every client still waiting, accepted or not, is
    // answered 0 (refused) rather than left to time out.
    ~HandoffServer() override;

    // Removes a stale socket file first (only the lock holder calls this). False with a
    // reason in error when the endpoint cannot be opened.
    bool Listen(QString* error = nullptr);
    bool IsListening() const { return listenFd_.Valid(); }
    QString Path() const;

    // A client that has not sent a whole request this long after connecting is hung up on.
    void SetClientTimeout(int milliseconds) { clientTimeoutMs_ = milliseconds; }
    // Clients connected and not yet done with (for tests).
    int ClientCount() const { return static_cast<int>(clients_.size()); }

private:
    class Client;

    // Clients served at once; more are turned away at the door.
    static constexpr size_t kMaxClients = 16;

    void AcceptAll();
    void PauseAccepting();
    void ReadFrom(uint64_t id);
    void WriteTo(uint64_t id);
    void Answer(uint64_t id);
    void Drop(uint64_t id);
    Client* Find(uint64_t id) const;
    void Close();

    QString name_;
    Handler handler_;
    int clientTimeoutMs_ = kDefaultClientTimeoutMs;
    UniqueFd listenFd_;
    QByteArray boundPath_;
    uint64_t boundDevice_ = 0;
    uint64_t boundInode_ = 0;
    std::unique_ptr<QSocketNotifier> acceptNotifier_;
    uint64_t nextClientId_ = 1;
    std::map<uint64_t, Client*> clients_;  // owned as QObject children, freed with deleteLater
};

// Sends one request to the first instance's endpoint and waits (blocking, with timeout) for
// its result. Retries the connect for up to connectTimeoutMs while the endpoint is not yet
// listening (the first instance may still be starting). Returns the result, or std::nullopt
// when no answer came (dead or silent endpoint, a request too large: a failed send).
std::optional<int32_t> SendHandoff(const QString& name, uint32_t tag, const QByteArray& bytes,
                                   int connectTimeoutMs = 2000, int answerTimeoutMs = 10000);
