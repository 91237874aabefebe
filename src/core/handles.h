// Owning handles for C library streams, directories and file descriptors.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Owns a file descriptor; empty (-1) when the open failed.
class FdPtr {
public:
    explicit FdPtr(int fd = -1) : fd_(fd) {}
    FdPtr(FdPtr&& other) noexcept : fd_(other.release()) {}
    FdPtr& operator=(FdPtr&& other) noexcept {
        if (this != &other) FdPtr old(std::exchange(fd_, other.release())); // closes what it held
        return *this;
    }
    ~FdPtr() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};
