#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "relay/NatsHandles.h"

// One leader per channel: a key in a JetStream key-value bucket whose entries expire
// unless refreshed. The leader creates it (which fails while another leader holds it) and
// refreshes it well within the expiry; a leader that is killed stops refreshing, and the
// channel is free again after the expiry. Every call waits for the server: run Refresh
// off the event loop.
class LeaderLock
{
public:
    // How long a claim lasts without a refresh.
    static constexpr int64_t kExpiryMs = 6000;
    static constexpr int64_t kRefreshMs = 2000;

    enum class Outcome
    {
        Held,
        TakenByAnother,
        Failed,  // the server did not answer as expected; try again later
    };

    // Claims `key` for `holder`; TakenByAnother while another leader holds it.
    Outcome Claim(jsCtx* jetStream, const QByteArray& key, const QByteArray& holder,
                  QString* error);
    // Keeps the claim alive; after an expiry (a long time without the server) it claims
    // afresh.
    Outcome Refresh();
    // Gives the channel back at once (an orderly exit).
    void Release();

private:
    Outcome CreateKey(QString* error);

    NatsPtr<kvStore> store_;
    QByteArray key_;
    QByteArray holder_;
    uint64_t revision_ = 0;  // 0 while nothing is held
};
