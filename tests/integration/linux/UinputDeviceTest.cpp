// SPDX-License-Identifier: MIT
#include "Platform/Linux/UinputKeyboard.hpp"
#include "Platform/Linux/UinputSystemCalls.hpp"

#include <QDeadlineTimer>
#include <QDir>
#include <QString>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>
#include <vector>

using namespace quenlark;

namespace {

constexpr int timeoutMs = 20000;

// The real calls, remembering the descriptor so that the test can ask the kernel about the device.
class DescriptorKeepingCalls : public RealUinputSystemCalls {
public:
    int open(const char* path, int flags) override
    {
        fd = RealUinputSystemCalls::open(path, flags);
        return fd;
    }
    int fd = -1;
};

bool hasBit(const unsigned char* bits, int bit)
{
    return (bits[bit / 8] >> (bit % 8)) & 1;
}

} // namespace

// Runs only where /dev/uinput is writable; there it sends real arrow keys into the session.
TEST(UinputDeviceTest, TheVirtualKeyboardDeliversItsFramesToItsEventNode)
{
    const int probe = ::open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    if (probe < 0)
        GTEST_SKIP() << "/dev/uinput cannot be opened for writing here: " << std::strerror(errno);
    ::close(probe);

    DescriptorKeepingCalls calls;
    UinputKeyboard keyboard(calls);
    ASSERT_EQ(keyboard.create(), UinputKeyboard::State::ready);

    char sysName[64] = {};
    ASSERT_GE(::ioctl(calls.fd, UI_GET_SYSNAME(sizeof sysName), sysName), 0)
        << std::strerror(errno);
    const QDir device(QStringLiteral("/sys/devices/virtual/input/") + QString::fromLatin1(sysName));
    const QDeadlineTimer deadline(timeoutMs);
    int node = -1;
    while (node < 0 && !deadline.hasExpired()) {
        const QStringList events =
            device.entryList({QStringLiteral("event*")}, QDir::Dirs | QDir::NoDotAndDotDot);
        if (!events.isEmpty())
            node = ::open(QByteArray("/dev/input/" + events.first().toLatin1()).constData(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (node < 0)
            ::poll(nullptr, 0, 50);
    }
    if (node < 0)
        GTEST_SKIP() << "no event node appeared for " << sysName
                     << " (no devtmpfs /dev/input here)";

    unsigned char keyBits[KEY_MAX / 8 + 1] = {};
    ASSERT_GE(::ioctl(node, EVIOCGBIT(EV_KEY, sizeof keyBits), keyBits), 0);
    for (int key = KEY_ESC; key <= KEY_D; ++key)
        EXPECT_TRUE(hasBit(keyBits, key)) << "key " << key;
    EXPECT_TRUE(hasBit(keyBits, KEY_LEFT));
    EXPECT_TRUE(hasBit(keyBits, KEY_RIGHT));
    char name[128] = {};
    ASSERT_GE(::ioctl(node, EVIOCGNAME(sizeof name), name), 0);
    EXPECT_STREQ(name, "Quenlark Companion virtual keyboard");

    keyboard.post(ArrowKey::right, true);
    keyboard.post(ArrowKey::right, false);
    keyboard.post(ArrowKey::left, true);
    keyboard.post(ArrowKey::left, false);

    std::vector<std::tuple<int, int, int>> read;
    const QDeadlineTimer readDeadline(timeoutMs);
    while (read.size() < 8 && !readDeadline.hasExpired()) {
        pollfd descriptor{node, POLLIN, 0};
        ::poll(&descriptor, 1,
               static_cast<int>(std::min<qint64>(readDeadline.remainingTime(), 500)));
        input_event event{};
        while (::read(node, &event, sizeof event) == static_cast<ssize_t>(sizeof event))
            read.emplace_back(event.type, event.code, event.value);
    }
    ::close(node);

    const std::vector<std::tuple<int, int, int>> expected{
        {EV_KEY, KEY_RIGHT, 1},  {EV_SYN, SYN_REPORT, 0}, {EV_KEY, KEY_RIGHT, 0},
        {EV_SYN, SYN_REPORT, 0}, {EV_KEY, KEY_LEFT, 1},   {EV_SYN, SYN_REPORT, 0},
        {EV_KEY, KEY_LEFT, 0},   {EV_SYN, SYN_REPORT, 0},
    };
    EXPECT_EQ(read, expected);
}
