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
    // Destroying removes the interest but, unlike an explicit unsubscribe, leaves a stream
    // subscription's consumer to the server, which drops it once nobody reads it. Deleting
    // it would wait on a request, and would race the client's own thread that remakes an
    // ordered consumer after a reconnection.
    void operator()(natsSubscription* subscription) const
    {
        natsSubscription_Destroy(subscription);
    }
    void operator()(natsMsg* message) const { natsMsg_Destroy(message); }
    void operator()(jsStreamInfo* info) const { jsStreamInfo_Destroy(info); }
    void operator()(jsMsgMetaData* meta) const { jsMsgMetaData_Destroy(meta); }
};

template <typename T>
using NatsPtr = std::unique_ptr<T, NatsDeleter>;
