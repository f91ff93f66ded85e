// Small owners shared by the daemon and the client library: a descriptor
// that is closed with its owner, and heap text from malloc that is freed
// with its owner.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <memory>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.Release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1)
    {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
// Text allocated with malloc (by the command runner or the client library).
using MallocText = std::unique_ptr<char, FreeDeleter>;
