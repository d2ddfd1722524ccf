// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quenlark {

// The test's side of the stand-in Apple functions: while one exists (one at a time), every call
// into them is logged as "Function(arguments) = result", with the objects handed out named
// "source#1", "event#2", "dictionary#3" in order of creation, and NULL for none. An object made by
// a Create function is alive until CFReleased; a release of anything else, or an object passed on
// after its release, is a fault.
class AppleStandIn {
public:
    // An information dictionary value: text, or a number, which is not text.
    using InfoValue = std::variant<std::u16string, double>;
    using Info = std::map<std::string, InfoValue>;
    // A dictionary's key and value pairs.
    using Entries = std::vector<std::pair<const void*, const void*>>;

    AppleStandIn();
    ~AppleStandIn();
    AppleStandIn(const AppleStandIn&) = delete;
    AppleStandIn& operator=(const AppleStandIn&) = delete;

    std::vector<std::string> log(bool withReleases = true) const;
    const std::vector<std::string>& faults() const;
    // Objects created and not yet released.
    int alive() const;

    // The answer of both trust queries; false at first.
    void setTrusted(bool trusted);
    // The nth call (from 1) of the named Create function returns NULL.
    void failCall(const std::string& function, int nth);
    // No main bundle, or one with this information dictionary; no bundle at first.
    void setMainBundle(const std::optional<Info>& info);
    // The options of every AXIsProcessTrustedWithOptions call, as they were at the call.
    const std::vector<Entries>& promptOptions() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace quenlark
