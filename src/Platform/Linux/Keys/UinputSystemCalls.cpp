// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/UinputSystemCalls.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace quenlark {

int RealUinputSystemCalls::open(const char* path, int flags)
{
    int fd;
    do
        fd = ::open(path, flags);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? -errno : fd;
}

int RealUinputSystemCalls::ioctl(int fd, unsigned long request, int value)
{
    const int result = ::ioctl(fd, request, value);
    return result < 0 ? -errno : result;
}

int RealUinputSystemCalls::ioctl(int fd, unsigned long request, const uinput_setup& setup)
{
    const int result = ::ioctl(fd, request, &setup);
    return result < 0 ? -errno : result;
}

ssize_t RealUinputSystemCalls::write(int fd, const void* data, std::size_t size)
{
    ssize_t written;
    do
        written = ::write(fd, data, size);
    while (written < 0 && errno == EINTR);
    return written < 0 ? -errno : written;
}

int RealUinputSystemCalls::close(int fd)
{
    // Never retried: Linux releases the descriptor even when close reports EINTR.
    return ::close(fd) < 0 ? -errno : 0;
}

} // namespace quenlark
