#pragma once

#include <nats/nats.h>

#include <memory>

// One owner for each object of the NATS client, released by its own call.
struct NatsDeleter
{
    void operator()(natsOptions* options) const { natsOptions_Destroy(options); }
    void operator()(natsConnection* connection) const
    {
        natsConnection_Close(connection);
        natsConnection_Destroy(connection);
    }
    void operator()(jsCtx* context) const { jsCtx_Destroy(context); }
    void operator()(kvStore* store) const { kvStore_Destroy(store); }
    void operator()(natsSubscription* subscription) const
    {
        natsSubscription_Unsubscribe(subscription);
        natsSubscription_Destroy(subscription);
    }
    void operator()(natsMsg* message) const { natsMsg_Destroy(message); }
    void operator()(jsStreamInfo* info) const { jsStreamInfo_Destroy(info); }
    void operator()(jsMsgMetaData* meta) const { jsMsgMetaData_Destroy(meta); }
};

template <typename T>
using NatsPtr = std::unique_ptr<T, NatsDeleter>;
