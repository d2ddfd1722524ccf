// SPDX-License-Identifier: MIT
#include "QuenlarkCompanionApp.hpp"

#include "BuildConfig.hpp"
#include "Platform/SystemPlatform.hpp"
#include "SingleInstanceGuard.hpp"

#include <QApplication>

namespace quenlark {

QuenlarkCompanionApp::QuenlarkCompanionApp(std::unique_ptr<Platform> platform,
                                           std::unique_ptr<TrayHost> trayHost)
    : platform_(std::move(platform)), trayHost_(std::move(trayHost)), viewModel_(*platform_),
      panel_(viewModel_, platform_->accessibilityServices()), tray_(*trayHost_)
{
    QObject::connect(&tray_, &TrayItem::availabilityChanged, &panel_,
                     &PanelWindow::setTrayAvailable);
    QObject::connect(&tray_, &TrayItem::clicked, &panel_, &PanelWindow::toggle);
    statusSubscription_ = viewModel_.connectionState.subscribe(
        [this](ConnectionState state) { tray_.setStatus(rawValue(state)); });
    tray_.start();
}

int QuenlarkCompanionApp::main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quenlark"));
    QApplication::setApplicationName(QStringLiteral("Quenlark Companion"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quenlark"));
    QApplication::setApplicationVersion(QStringLiteral(QUENLARK_VERSION));
    QApplication::setDesktopFileName(QStringLiteral(QUENLARK_BUNDLE_IDENTIFIER));
    QApplication::setWindowIcon(TrayItem::icon());
    // The program lives in the tray: closing the panel or a dialog must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second launch shows the running program's panel instead of starting a second link.
    SingleInstanceGuard guard(SingleInstanceGuard::defaultName());
    if (!guard.claim())
        return 0;

    QuenlarkCompanionApp companion(makeSystemPlatform(), makeTrayHost());
    QObject::connect(&guard, &SingleInstanceGuard::showPanelRequested, &companion.panel_,
                     &PanelWindow::showPanel);
    return QApplication::exec();
}

} // namespace quenlark
