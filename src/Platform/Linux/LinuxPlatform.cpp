// SPDX-License-Identifier: MIT
#include "Platform/SystemPlatform.hpp"

#include "BuildConfig.hpp"
#include "Platform/Linux/Bluez/BluezCentral.hpp"
#include "Platform/Linux/GrantAccessDialog.hpp"
#include "Platform/Linux/LinuxAccessibility.hpp"
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "Platform/Linux/LinuxTrayHost.hpp"
#include "Platform/Linux/LogindSession.hpp"
#include "Platform/Linux/PortalKeyboard.hpp"
#include "Platform/Qt/HelperHttpClient.hpp"
#include "Platform/Qt/SettingsUserDefaults.hpp"

#include <QCoreApplication>

namespace quenlark {

namespace {

// BlueZ over D-Bus, the user's settings file, XTest, uinput or the remote-desktop portal for
// keys, held back while another session has the seat, and the desktop's consent or the grant
// dialog as the permission prompt.
class LinuxPlatform : public Platform {
public:
    LinuxPlatform()
    {
        portal_.onRefused = [this] {
            GrantAccessDialog::showOnce([this] { portal_.requestConsent(); });
        };
        QObject::connect(&session_, &LogindSession::activeChanged, &session_,
                         [this](bool active) { keys_.setSessionActive(active); });
    }

    std::unique_ptr<Central> makeCentral(CentralDelegate& delegate) override
    {
        return std::make_unique<BluezCentral>(delegate);
    }
    UserDefaults& userDefaults() override { return defaults_; }
    KeyEventServices& keyEventServices() override { return keys_; }
    AccessibilityServices& accessibilityServices() override { return accessibility_; }
    HttpClient& httpClient() override { return http_; }
    std::optional<QString> bundleShortVersion() const override
    {
        return QStringLiteral(QUENLARK_VERSION);
    }

private:
    SettingsUserDefaults defaults_;
    PortalKeyboard portal_{defaults_};
    LinuxKeyEventServices keys_{SessionEnvironment::current(),
                                std::make_unique<RealUinputSystemCalls>(), &portal_};
    LogindSession session_;
    LinuxAccessibility accessibility_{keys_, [] { GrantAccessDialog::showOnce(); }};
    // The release check's helper sits in libexec/ beside the program's bin/.
    HelperHttpClient http_{QCoreApplication::applicationDirPath() +
                           QStringLiteral("/" QUENLARK_FETCH_HELPER_FROM_PROGRAM)};
};

} // namespace

std::unique_ptr<Platform> makeSystemPlatform()
{
    return std::make_unique<LinuxPlatform>();
}

std::unique_ptr<TrayHost> makeTrayHost()
{
    return std::make_unique<LinuxTrayHost>();
}

} // namespace quenlark
