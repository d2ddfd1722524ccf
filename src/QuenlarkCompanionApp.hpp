// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Platform.hpp"
#include "Platform/TrayHost.hpp"
#include "ViewModels/CompanionViewModel.hpp"
#include "Views/PanelWindow.hpp"
#include "Views/TrayItem.hpp"

#include <memory>

namespace quenlark {

// The program: one tray item whose panel shows the one view model, made at launch before any
// panel is shown and kept until the process ends.
class QuenlarkCompanionApp {
public:
    // Runs the program; returns the process's exit code.
    static int main(int argc, char** argv);

private:
    QuenlarkCompanionApp(std::unique_ptr<Platform> platform, std::unique_ptr<TrayHost> trayHost);

    std::unique_ptr<Platform> platform_;
    std::unique_ptr<TrayHost> trayHost_;
    CompanionViewModel viewModel_;
    PanelWindow panel_;
    TrayItem tray_;
    Subscription statusSubscription_;
};

} // namespace quenlark
