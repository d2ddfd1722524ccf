// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/UinputSystemCalls.hpp"

#include <linux/input.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace quenlark::fakes {

// Records the virtual keyboard's system calls, a write as the events it holds, and answers as
// scripted: descriptors count up from 3, open fails while openError is set, the ioctl
// failingRequest fails, and the next write returns nextWriteResult when that is set.
class RecordingUinputSystemCalls : public UinputSystemCalls {
public:
    // Name, descriptor, request (an event's type and code), value (the flags of an open).
    using Call = std::tuple<std::string, int, unsigned long, int>;

    int open(const char*, int flags) override
    {
        calls.emplace_back("open", -1, 0, flags);
        return openError != 0 ? -openError : nextFd++;
    }

    int ioctl(int fd, unsigned long request, int value) override
    {
        calls.emplace_back("ioctl", fd, request, value);
        return request == failingRequest ? -EINVAL : 0;
    }

    int ioctl(int fd, unsigned long request, const uinput_setup& setup) override
    {
        deviceName = setup.name;
        return ioctl(fd, request, setup.id.bustype);
    }

    ssize_t write(int fd, const void* data, std::size_t size) override
    {
        const auto* events = static_cast<const input_event*>(data);
        for (std::size_t i = 0; i < size / sizeof(input_event); ++i)
            calls.emplace_back("event", fd, events[i].type << 16 | events[i].code, events[i].value);
        const ssize_t result = std::exchange(nextWriteResult, 0);
        return result != 0 ? result : static_cast<ssize_t>(size);
    }

    int close(int fd) override
    {
        calls.emplace_back("close", fd, 0, 0);
        return 0;
    }

    int openError = 0;
    unsigned long failingRequest = 0;
    ssize_t nextWriteResult = 0;
    int nextFd = 3;
    std::vector<Call> calls;
    std::string deviceName;
};

} // namespace quenlark::fakes
