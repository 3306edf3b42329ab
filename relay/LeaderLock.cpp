#include "relay/LeaderLock.h"

#include "relay/ChannelNames.h"
#include "relay/NatsLink.h"

LeaderLock::Outcome LeaderLock::Claim(jsCtx* jetStream, const QByteArray& key,
                                      const QByteArray& holder, QString* error)
{
    key_ = key;
    holder_ = holder;
    kvConfig config;
    kvConfig_Init(&config);
    config.Bucket = kLeaderLockBucket;
    config.History = 1;
    config.TTL = kExpiryMs * 1000 * 1000;  // nanoseconds, as a stream's MaxAge
    config.StorageType = js_FileStorage;
    kvStore* raw = nullptr;
    // Made by the first leader ever; later ones bind to it.
    natsStatus status = js_CreateKeyValue(&raw, jetStream, &config);
    const QString whyNotCreated = status == NATS_OK ? QString() : NatsErrorText(status);
    if (status != NATS_OK) {
        status = js_KeyValue(&raw, jetStream, kLeaderLockBucket);
    }
    if (status != NATS_OK) {
        *error = QStringLiteral("cannot open the leaders' bucket: %1").arg(whyNotCreated);
        return Outcome::Failed;
    }
    store_.reset(raw);
    return CreateKey(error);
}

LeaderLock::Outcome LeaderLock::CreateKey(QString* error)
{
    uint64_t revision = 0;
    const natsStatus status = kvStore_Create(&revision, store_.get(), key_.constData(),
                                             holder_.constData(), static_cast<int>(holder_.size()));
    if (status == NATS_OK) {
        revision_ = revision;
        return Outcome::Held;
    }
    kvEntry* entry = nullptr;
    const bool present = kvStore_Get(&entry, store_.get(), key_.constData()) == NATS_OK;
    if (entry != nullptr) {
        kvEntry_Destroy(entry);
    }
    if (error != nullptr) {
        *error = NatsErrorText(status);
    }
    return present ? Outcome::TakenByAnother : Outcome::Failed;
}

LeaderLock::Outcome LeaderLock::Refresh()
{
    if (!store_) {
        return Outcome::Failed;
    }
    uint64_t revision = 0;
    const natsStatus status =
        kvStore_Update(&revision, store_.get(), key_.constData(), holder_.constData(),
                       static_cast<int>(holder_.size()), revision_);
    if (status == NATS_OK) {
        revision_ = revision;
        return Outcome::Held;
    }
    if (status == NATS_TIMEOUT || status == NATS_CONNECTION_CLOSED ||
        status == NATS_NO_RESPONDERS) {
        return Outcome::Failed;
    }
    // The revision moved on: the claim expired while the server was away. Claim afresh,
    // unless another leader was quicker.
    return CreateKey(nullptr);
}

void LeaderLock::Release()
{
    // Only a claim of its own: a leader refused must not free the channel of the one that
    // holds it.
    if (store_ && revision_ != 0) {
        kvStore_Delete(store_.get(), key_.constData());
    }
}
