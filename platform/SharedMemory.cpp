#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "platform/RuntimeDir.h"

namespace {

// True when the path still names the file open on fd. A holder that leaves in good order
// removes the file while it still holds the lock; whoever opened it just before then locks
// a file that nobody else will ever find, and has to start again on the path's new file.
bool PathNamesFile(const QByteArray& path, int fd)
{
    struct stat open = {};
    struct stat named = {};
    if (::fstat(fd, &open) != 0 || ::lstat(path.constData(), &named) != 0) {
        return false;
    }
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

int TryLock(int fd)
{
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

}  // namespace

SharedMemory::~SharedMemory()
{
    Release();
}

bool SharedMemory::Release()
{
    bool ok = true;
    if (view_ != nullptr) {
        ok = ::munmap(view_, viewSize_) == 0;
        view_ = nullptr;
    }
    if (fd_.Valid()) {
        // Removed while still locked, so no later start can lock this file and think itself
        // first beside a newer holder (see PathNamesFile).
        if (holder_ && PathNamesFile(path_, fd_.Get())) {
            ::unlink(path_.constData());
        }
        ok = fd_.Close() == 0 && ok;
    }
    holder_ = false;
    return ok;
}

namespace {

// Maps the first size bytes of the file. The holder sizes the file (never shrinking it, so
// nobody's mapping loses its pages) and zero-fills the view. A later start maps the file
// only once the holder has sized it: touching a mapping past the end of a file kills the
// process with SIGBUS. Before that the holder cannot have written anything, so a zero-filled
// private view is the same answer.
void* MapView(int fd, uint32_t size, bool holder)
{
    struct stat info = {};
    if (::fstat(fd, &info) != 0) {
        return nullptr;
    }
    const bool sized = info.st_size >= static_cast<off_t>(size);
    if (holder && !sized && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        return nullptr;
    }
    void* view = nullptr;
    if (holder || sized) {
        view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    } else {
        view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    if (view == MAP_FAILED) {
        return nullptr;
    }
    if (holder) {
        std::memset(view, 0, size);
    }
    return view;
}

}  // namespace

std::unique_ptr<SharedMemory> OpenSharedMemory(const QString& name, uint32_t size,
                                               uint32_t* existed)
{
    const QByteArray path = RuntimeFilePath(name, QStringLiteral(".lock"));
    if (size < sizeof(uint32_t) || path.isEmpty()) {
        return nullptr;
    }

    // A few rounds are plenty: each one is lost only to a holder leaving at that moment.
    for (int round = 0; round < 16; ++round) {
        std::unique_ptr<SharedMemory> memory(new SharedMemory);
        memory->name_ = name;
        memory->path_ = path;
        memory->fd_.Reset(
            ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!memory->fd_.Valid()) {
            return nullptr;
        }
        struct stat info = {};
        if (::fstat(memory->fd_.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
            info.st_uid != ::geteuid()) {
            return nullptr;
        }
        const int lockError = TryLock(memory->fd_.Get());
        if (lockError == 0) {
            if (!PathNamesFile(path, memory->fd_.Get())) {
                continue;
            }
            memory->holder_ = true;
        } else if (lockError != EWOULDBLOCK) {
            return nullptr;
        }
        memory->view_ = MapView(memory->fd_.Get(), size, memory->holder_);
        if (memory->view_ == nullptr) {
            return nullptr;
        }
        memory->viewSize_ = size;
        if (existed != nullptr) {
            *existed = memory->holder_ ? 0 : 1;
        }
        return memory;
    }
    return nullptr;
}

bool CloseSharedMemory(std::unique_ptr<SharedMemory>& handle)
{
    if (!handle) {
        return false;
    }
    const bool ok = handle->Release();
    handle.reset();
    return ok;
}
