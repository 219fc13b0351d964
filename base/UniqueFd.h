// TUniqueFd: the one owner of a file descriptor; whatever opens one hands it to this at once.
#pragma once

#include <unistd.h>

class TUniqueFd {
public:
    explicit TUniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~TUniqueFd() { Close(); }
    TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.Release()) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Gives up ownership: the descriptor now belongs to someone else (an fdopen'ed stream, say).
    int Release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and gives close()'s result: a failed delayed write of a network file system
    // shows up only here, so writers check it.
    int Close() noexcept {
        const int rc = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return rc;
    }
    void Reset(int fd = -1) noexcept {
        Close();
        fd_ = fd;
    }

private:
    int fd_;
};
