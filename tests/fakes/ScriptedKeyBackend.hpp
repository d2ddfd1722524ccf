// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/Keys/KeyBackend.hpp"

#include <utility>
#include <vector>

namespace quenlark::fakes {

// A way in whose presence the test sets; it records what it is posted.
struct ScriptedKeyBackend : KeyBackend {
    explicit ScriptedKeyBackend(Presence answer) : answer(answer) {}

    Presence presence(SessionType) override { return answer; }
    bool start() override { return started = true; }
    bool reachesSession() const override { return started; }
    void post(ArrowKey key, bool keyDown) override { posted.emplace_back(key, keyDown); }
    void stop() override { started = false; }

    Presence answer;
    bool started = false;
    std::vector<std::pair<ArrowKey, bool>> posted;
};

} // namespace quenlark::fakes
