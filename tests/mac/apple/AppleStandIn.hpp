// SPDX-License-Identifier: MIT
#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace quenlark {

// The test's side of the stand-in Apple functions: while one exists (one at a time), every call
// into them is logged as "Function(arguments) = result", with the objects it makes named by kind
// and order of creation (s1 for a first event source, e2 for an event made next, d3 for a
// dictionary after them) and NULL for none. An object made by a Create function is alive until
// CFReleased; a release of anything else, or an object passed on after its release, is a fault.
class AppleStandIn {
public:
    // An information dictionary value: text, or a number, which is not text.
    using InfoValue = std::variant<std::u16string, double>;
    using Info = std::map<std::string, InfoValue>;

    AppleStandIn();
    ~AppleStandIn();
    AppleStandIn(const AppleStandIn&) = delete;
    AppleStandIn& operator=(const AppleStandIn&) = delete;

    // The calls so far, each followed by "; ". A dictionary passed to AXIsProcessTrustedWithOptions
    // is shown with its entries as they are at that call.
    std::string log(bool withReleases = true) const;
    // The faults so far, and every object still alive, each followed by "; ".
    std::string faults() const;

    // The answer of both trust queries; false at first.
    void setTrusted(bool trusted);
    // These calls (counted from 1) of the named Create function make nothing and return NULL.
    void failCalls(const std::string& function, std::initializer_list<int> calls);
    // No main bundle, or one with this information dictionary; no bundle at first.
    void setMainBundle(const std::optional<Info>& info);

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace quenlark
