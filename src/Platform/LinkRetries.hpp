// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <chrono>

namespace quenlark {

// Failed attempts in a row at one device. A central keeps it per device, so that it outlives the
// peripheral objects the link lets go of after each failure.
struct LinkRetries {
    int failuresInARow = 0;
    std::chrono::steady_clock::time_point lastFailure;
    // The last failure left a subscription unconfirmed, as a refused pairing does.
    bool subscriptionUnconfirmed = false;

    void failed(bool unconfirmedSubscription)
    {
        ++failuresInARow;
        lastFailure = std::chrono::steady_clock::now();
        subscriptionUnconfirmed = unconfirmedSubscription;
    }

    // How long the next attempt waits: a device that refuses at once is not hammered, and one that
    // comes back after a while is tried as soon as it is heard. A pairing that the desktop's agent
    // refused or left unanswered is asked for again at a longer pause, so that the desktop's
    // pairing dialog does not come back every few seconds.
    std::chrono::milliseconds pause() const
    {
        using std::chrono::milliseconds;
        if (failuresInARow == 0)
            return milliseconds{0};
        const int doublings = std::min(failuresInARow - 1, 8);
        if (subscriptionUnconfirmed)
            return std::min(milliseconds{1000} * (1 << doublings), milliseconds{30000});
        return std::min(milliseconds{250} * (1 << doublings), milliseconds{3000});
    }

    // What is left of that pause now.
    std::chrono::milliseconds wait() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            lastFailure + pause() - std::chrono::steady_clock::now());
    }
};

} // namespace quenlark
