// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/UinputSystemCalls.hpp"

#include <linux/input.h>

#include <cerrno>
#include <deque>
#include <string>
#include <tuple>
#include <vector>

namespace quenlark::fakes {

// Records the virtual keyboard's system calls and answers as scripted: descriptors count up from
// 3, open fails while openError is set, the ioctl failingRequest fails, and writes take the queued
// results before accepting everything.
class RecordingUinputSystemCalls : public UinputSystemCalls {
public:
    // Name, descriptor, request, value: the flags of an open, the size of a write.
    using Call = std::tuple<std::string, int, unsigned long, int>;
    // Type, code and value of each event of one write.
    using Frame = std::vector<std::tuple<int, int, int>>;

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
        bus = setup.id.bustype;
        return ioctl(fd, request, 0);
    }

    ssize_t write(int fd, const void* data, std::size_t size) override
    {
        calls.emplace_back("write", fd, 0, static_cast<int>(size));
        Frame& frame = frames.emplace_back();
        const auto* events = static_cast<const input_event*>(data);
        for (std::size_t i = 0; i < size / sizeof(input_event); ++i)
            frame.emplace_back(events[i].type, events[i].code, events[i].value);
        const ssize_t result =
            writeResults.empty() ? static_cast<ssize_t>(size) : writeResults.front();
        if (!writeResults.empty())
            writeResults.pop_front();
        return result;
    }

    int close(int fd) override
    {
        calls.emplace_back("close", fd, 0, 0);
        return 0;
    }

    int openError = 0;
    unsigned long failingRequest = 0;
    std::deque<ssize_t> writeResults;
    int nextFd = 3;

    std::vector<Call> calls;
    std::vector<Frame> frames;
    std::string deviceName;
    int bus = 0;
};

} // namespace quenlark::fakes
