// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/UinputSystemCalls.hpp"

#include <linux/input.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace quenlark::fakes {

// Records every system call of the virtual keyboard and answers as scripted: descriptors count up
// from 3, an open fails while openError is set, an ioctl fails while its request is in
// ioctlErrors, and writes take the queued results before accepting everything.
class RecordingUinputSystemCalls : public UinputSystemCalls {
public:
    struct Call {
        std::string name;
        int fd = -1;
        unsigned long request = 0;
        int value = 0;
        bool operator==(const Call&) const = default;
    };
    struct Written {
        int fd;
        std::vector<input_event> events;
    };

    int open(const char* path, int flags) override
    {
        calls.push_back({"open", -1, 0, flags});
        openedPaths.emplace_back(path);
        return openError != 0 ? -openError : nextFd++;
    }

    int ioctl(int fd, unsigned long request, int value) override
    {
        calls.push_back({"ioctl", fd, request, value});
        return failure(request);
    }

    int ioctl(int fd, unsigned long request, const uinput_setup& setup) override
    {
        calls.push_back({"ioctl", fd, request, 0});
        setups.push_back(setup);
        return failure(request);
    }

    ssize_t write(int fd, const void* data, std::size_t size) override
    {
        calls.push_back({"write", fd, 0, static_cast<int>(size)});
        std::vector<input_event> events(size / sizeof(input_event));
        std::memcpy(events.data(), data, events.size() * sizeof(input_event));
        writes.push_back({fd, std::move(events)});
        if (writeResults.empty())
            return static_cast<ssize_t>(size);
        const ssize_t result = writeResults.front();
        writeResults.pop_front();
        return result;
    }

    int close(int fd) override
    {
        calls.push_back({"close", fd, 0, 0});
        return 0;
    }

    int openError = 0;
    std::map<unsigned long, int> ioctlErrors;
    std::deque<ssize_t> writeResults;
    int nextFd = 3;

    std::vector<Call> calls;
    std::vector<std::string> openedPaths;
    std::vector<uinput_setup> setups;
    std::vector<Written> writes;

private:
    int failure(unsigned long request) const
    {
        const auto it = ioctlErrors.find(request);
        return it == ioctlErrors.end() ? 0 : -it->second;
    }
};

} // namespace quenlark::fakes
