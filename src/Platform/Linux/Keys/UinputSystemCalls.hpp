// SPDX-License-Identifier: MIT
#pragma once

#include <linux/uinput.h>
#include <sys/types.h>

#include <cstddef>

namespace quenlark {

// The system calls the virtual keyboard makes, behind a seam so that tests see every call. Each
// returns what the call returns on success and the negated errno on failure.
class UinputSystemCalls {
public:
    virtual ~UinputSystemCalls() = default;
    virtual int open(const char* path, int flags) = 0;
    // Requests that take a number or nothing (passed as 0).
    virtual int ioctl(int fd, unsigned long request, int value) = 0;
    virtual int ioctl(int fd, unsigned long request, const uinput_setup& setup) = 0;
    virtual ssize_t write(int fd, const void* data, std::size_t size) = 0;
    virtual int close(int fd) = 0;
};

class RealUinputSystemCalls : public UinputSystemCalls {
public:
    int open(const char* path, int flags) override;
    int ioctl(int fd, unsigned long request, int value) override;
    int ioctl(int fd, unsigned long request, const uinput_setup& setup) override;
    ssize_t write(int fd, const void* data, std::size_t size) override;
    int close(int fd) override;
};

} // namespace quenlark
