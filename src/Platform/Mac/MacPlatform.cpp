// SPDX-License-Identifier: MIT
#include "Platform/SystemPlatform.hpp"

#include "BuildConfig.hpp"
#include "Platform/Mac/BundleInfo.hpp"
#include "Platform/Mac/MacAccessibility.hpp"
#include "Platform/Mac/MacKeyEventServices.hpp"
#include "Platform/Mac/MenuBarHost.hpp"
#include "Platform/Qt/HelperHttpClient.hpp"
#include "Platform/Qt/QtBluetoothCentral.hpp"
#include "Platform/Qt/SettingsUserDefaults.hpp"

#include <QCoreApplication>
#include <QSettings>

#include <string_view>

namespace quenlark {

namespace {

// Qt Bluetooth on CoreBluetooth, the user defaults of the bundle, CoreGraphics events at the HID
// tap, and the Accessibility trust with the system's own prompt.
class MacPlatform : public Platform {
public:
    std::unique_ptr<Central> makeCentral(CentralDelegate& delegate) override
    {
        return std::make_unique<QtBluetoothCentral>(delegate);
    }
    UserDefaults& userDefaults() override { return defaults_; }
    KeyEventServices& keyEventServices() override { return keys_; }
    AccessibilityServices& accessibilityServices() override { return accessibility_; }
    HttpClient& httpClient() override { return http_; }
    std::optional<QString> bundleShortVersion() const override
    {
        return BundleInfo::shortVersion();
    }

private:
    // Qt makes the domain of organisation "quenlark.com" and application "Companion"
    // "com.quenlark.Companion", the bundle identifier: these are the program's user defaults.
    static_assert(std::string_view(QUENLARK_BUNDLE_IDENTIFIER) == "com.quenlark.Companion");
    SettingsUserDefaults defaults_{
        std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                    QStringLiteral("quenlark.com"), QStringLiteral("Companion"))};
    MacKeyEventServices keys_;
    MacAccessibility accessibility_;
    // The release check's helper sits beside the program, inside the bundle.
    HelperHttpClient http_{QCoreApplication::applicationDirPath() +
                           QStringLiteral("/" QUENLARK_FETCH_HELPER_FROM_PROGRAM)};
};

} // namespace

std::unique_ptr<Platform> makeSystemPlatform()
{
    return std::make_unique<MacPlatform>();
}

std::unique_ptr<TrayHost> makeTrayHost()
{
    return std::make_unique<MenuBarHost>();
}

} // namespace quenlark
