// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/TrayHost.hpp"

#include <QObject>

namespace quenlark {

// The macOS menu bar, which is always there; its icons are template images.
class MenuBarHost : public TrayHost {
public:
    void start(std::function<void()> changed) override;
    std::optional<bool> isPresent() const override { return present_; }
    void iconMade() override {}
    bool templateIcon() const override { return true; }

private:
    QObject context_;
    std::optional<bool> present_;
};

} // namespace quenlark
