// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>

namespace quenlark {

// Follows whether an X11 system tray (the XEmbed kind) runs on this display: never on any other
// platform. The X server reports every change of the tray's selection owner (_NET_SYSTEM_TRAY_S<n>
// of the default screen) through the XFixes extension on Qt's own connection, so nothing is
// polled. Asked directly of the X server, because asking Qt would also settle Qt's one-time view
// of the StatusNotifierItem tray.
class XEmbedTray : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    explicit XEmbedTray(QObject* parent = nullptr);

    // Asks the X server once and follows every change from then on; false where there is no X
    // server or no XFixes, where the answer stays "absent".
    bool start();
    bool isPresent() const { return present_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    void presenceChanged(bool present);

private:
    void setPresent(bool present);

    std::uint32_t selection_ = 0;
    std::uint8_t selectionNotify_ = 0;
    bool present_ = false;
};

} // namespace quenlark
