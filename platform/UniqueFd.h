#pragma once

#include <unistd.h>

#include <utility>

// Owns one descriptor and closes it, whichever way the scope is left. Move-only.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Close(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }
    // Returns the result of close(2); 0 when nothing was open. Linux frees the descriptor
    // even when close() is interrupted, so it is never retried.
    int Close() { return fd_ >= 0 ? ::close(Release()) : 0; }
    void Reset(int fd = -1)
    {
        Close();
        fd_ = fd;
    }

private:
    int fd_ = -1;
};
