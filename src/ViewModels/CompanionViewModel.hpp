// SPDX-License-Identifier: MIT
#pragma once

#include "Core/Published.hpp"
#include "Models/ConnectionState.hpp"
#include "Platform/Platform.hpp"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>

namespace quenlark {

class BLECentralManager;

// The one observable state of the program: mirrors the clicker link on the main queue, posts
// every command as a key press, keeps the input permission current and holds the update offer.
class CompanionViewModel : public QObject {
    Q_OBJECT

public:
    explicit CompanionViewModel(Platform& platform);
    ~CompanionViewModel() override;

    Published<ConnectionState> connectionState;
    Published<std::optional<QString>> connectedDeviceName;
    Published<bool> accessibilityEnabled;
    Published<bool> hasPairedDevice;
    Published<std::optional<QString>> availableUpdateVersion;
    Published<std::optional<QUrl>> availableUpdateURL;

    void forgetDevice();

Q_SIGNALS:
    void objectWillChange();

private:
    void startAccessibilityPolling();
    void startUpdateOffer();

    Platform& platform_;
    std::unique_ptr<BLECentralManager> bleManager_;
    std::vector<Subscription> bindings_;
    QTimer* accessibilityTimer_ = nullptr;
};

} // namespace quenlark
