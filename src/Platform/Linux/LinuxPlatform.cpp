// SPDX-License-Identifier: MIT
#include "Platform/SystemPlatform.hpp"

#include "BuildConfig.hpp"
#include "Platform/Linux/Bluez/BluezCentral.hpp"
#include "Platform/Linux/Keys/LinuxKeyEventServices.hpp"
#include "Platform/Linux/Keys/LogindSession.hpp"
#include "Platform/Linux/Keys/StandardKeyBackends.hpp"
#include "Platform/Linux/Permission/GrantAccessDialog.hpp"
#include "Platform/Linux/Permission/LinuxAccessibility.hpp"
#include "Platform/Linux/Tray/LinuxTrayHost.hpp"
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
        // Nothing is posted before logind has told whose the seat is.
        keys_.setSessionActive(session_.active());
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
    LinuxKeyEventServices keys_{SessionEnvironment::current(),
                                standardKeyBackends(SessionEnvironment::current(), defaults_,
                                                    QDBusConnection::sessionBus())};
    LogindSession session_;
    LinuxAccessibility accessibility_{keys_, [](std::function<void()> askAgain) {
                                          GrantAccessDialog::showOnce(std::move(askAgain));
                                      }};
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
