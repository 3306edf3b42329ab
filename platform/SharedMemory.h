#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/UniqueFd.h"

// The single-instance object: a per-user object whose "already existed" answer is true only
// while a live process holds it, gone with its last holder even after SIGKILL.
//
// It is an exclusive flock on "<RuntimeDirectory()>/<name>.lock". The kernel decides who gets
// it, atomically, and drops it when the holder's last descriptor goes, however the holder
// ends. The view is the start of that file, mapped shared, so a later start reads what the
// holder wrote there.
class SharedMemory
{
public:
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    ~SharedMemory();

    // The view of the object's bytes; valid until the object is released.
    uint32_t* View() { return static_cast<uint32_t*>(view_); }
    const QString& Name() const { return name_; }
    // True when this process holds the object (it was first).
    bool Holder() const { return holder_; }

    // Unmaps the view, gives up the lock and closes the file; true when all of it
    // succeeded. Later calls do nothing and return true.
    bool Release();

private:
    friend std::unique_ptr<SharedMemory> OpenSharedMemory(const QString& name, uint32_t size,
                                                          uint32_t* existed);
    SharedMemory() = default;

    QString name_;
    QByteArray path_;
    UniqueFd fd_;
    void* view_ = nullptr;
    size_t viewSize_ = 0;
    bool holder_ = false;
};

// Creates or opens the named object; existed (when given) receives 1 when another live
// process already holds it (then this process does not hold it), 0 when this call created
// it (fresh view zero-filled). Returns null on failure (existed untouched).
std::unique_ptr<SharedMemory> OpenSharedMemory(const QString& name, uint32_t size,
                                               uint32_t* existed);

// Releases it; returns true on success. The handle is empty afterwards.
bool CloseSharedMemory(std::unique_ptr<SharedMemory>& handle);
