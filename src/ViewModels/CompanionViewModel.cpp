// SPDX-License-Identifier: MIT
#include "ViewModels/CompanionViewModel.hpp"

#include "Core/BLECentralManager.hpp"
#include "Core/KeyInjector.hpp"
#include "Core/UpdateChecker.hpp"

#include <QPointer>

namespace quenlark {

namespace {
constexpr int accessibilityPollMilliseconds = 2000;

// Every value the source publishes becomes its own queued assignment on the main thread, in
// order, none dropped or merged; the context's destruction cancels what is still queued.
template <typename T>
Subscription bindOnMainQueue(Published<T>& source, Published<T>& target, QObject* context)
{
    return source.subscribe([&target, context](const T& value) {
        QMetaObject::invokeMethod(
            context, [&target, value] { target = value; }, Qt::QueuedConnection);
    });
}
} // namespace

CompanionViewModel::CompanionViewModel(Platform& platform)
    : connectionState(this, ConnectionState::disconnected), connectedDeviceName(this, std::nullopt),
      accessibilityEnabled(this, false), hasPairedDevice(this, false),
      availableUpdateVersion(this, std::nullopt), availableUpdateURL(this, std::nullopt),
      platform_(platform), bleManager_(std::make_unique<BLECentralManager>(platform))
{
    bindings_.push_back(bindOnMainQueue(bleManager_->connectionState, connectionState, this));
    bindings_.push_back(
        bindOnMainQueue(bleManager_->connectedDeviceName, connectedDeviceName, this));
    bindings_.push_back(bindOnMainQueue(bleManager_->hasPairedDevice, hasPairedDevice, this));

    // Commands are posted whatever the permission state: the flag is only shown to the user.
    bleManager_->onCommandReceived = [&keys = platform.keyEventServices()](SlideCommand command) {
        KeyInjector::injectArrowKey(keys, command);
    };

    AccessibilityServices& accessibility = platform.accessibilityServices();
    accessibilityEnabled = accessibility.isProcessTrusted();
    if (!accessibilityEnabled.value())
        accessibility.isProcessTrustedWithPrompt();
    startAccessibilityPolling();

    startUpdateOffer();
}

CompanionViewModel::~CompanionViewModel() = default;

void CompanionViewModel::forgetDevice()
{
    bleManager_->forgetDevice();
}

void CompanionViewModel::startAccessibilityPolling()
{
    // A child of the view model, so that nothing it does outlives it. Qt's default coarse timers
    // may fire up to 5% early; the poll must never come before its interval.
    accessibilityTimer_ = new QTimer(this);
    accessibilityTimer_->setTimerType(Qt::PreciseTimer);
    accessibilityTimer_->setInterval(accessibilityPollMilliseconds);
    // Each tick's work is a task of its own; the view model as its context cancels it if the view
    // model goes first.
    connect(accessibilityTimer_, &QTimer::timeout, this, [this] {
        QMetaObject::invokeMethod(
            this,
            [this] { accessibilityEnabled = platform_.accessibilityServices().isProcessTrusted(); },
            Qt::QueuedConnection);
    });
    accessibilityTimer_->start();
}

void CompanionViewModel::startUpdateOffer()
{
    checkForUpdates(platform_.httpClient(), platform_.bundleShortVersion(),
                    [weak = QPointer(this)](const QString& version, const QUrl& url) {
                        if (weak)
                            weak->availableUpdateVersion = version;
                        if (weak)
                            weak->availableUpdateURL = url;
                    });
}

} // namespace quenlark
