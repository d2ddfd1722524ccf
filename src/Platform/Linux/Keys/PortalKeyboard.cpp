// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/PortalKeyboard.hpp"

#include "Core/DiagnosticLog.hpp"
#include "Platform/UserDefaults.hpp"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <algorithm>
#include <utility>

namespace quenlark {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString remoteDesktopInterface = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString restoreTokenKey = QStringLiteral("portalRestoreToken");

constexpr uint keyboardDevice = 1;
constexpr uint persistUntilRevoked = 2;

// Tokens name requests and sessions on this connection, which every keyboard of the process shares.
unsigned nextToken()
{
    static unsigned tokens = 0;
    return ++tokens;
}

QDBusMessage portalCall(const QString& method)
{
    return QDBusMessage::createMethodCall(portalService, portalPath, remoteDesktopInterface,
                                          method);
}

// xdg-desktop-portal 1.16 hands the session back as a string, the documentation as an object path.
QString sessionPath(const QVariant& handle)
{
    if (handle.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return handle.value<QDBusObjectPath>().path();
    return handle.toString();
}

} // namespace

PortalKeyboard::PortalKeyboard(UserDefaults& defaults, QDBusConnection bus)
    : defaults_(defaults), bus_(std::move(bus))
{}

void PortalKeyboard::probe()
{
    if (std::exchange(probing_, true))
        return;
    if (!bus_.isConnected()) {
        // No bus, so no portal; answered on the event loop all the same.
        QMetaObject::invokeMethod(
            this, [this] { probeAnswered({}); }, Qt::QueuedConnection);
        return;
    }
    auto message = QDBusMessage::createMethodCall(portalService, portalPath,
                                                  QStringLiteral("org.freedesktop.DBus.Properties"),
                                                  QStringLiteral("GetAll"));
    message << remoteDesktopInterface;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<QVariantMap> reply = *call;
                probeAnswered(reply.isError() ? QVariantMap() : reply.value());
            });
}

void PortalKeyboard::probeAnswered(const QVariantMap& properties)
{
    if (properties.value(QStringLiteral("AvailableDeviceTypes")).toUInt() & keyboardDevice) {
        version_ = properties.value(QStringLiteral("version")).toUInt();
        state_ = State::idle;
    }
    probed_ = true;
    Q_EMIT presenceKnown();
}

PortalKeyboard::~PortalKeyboard()
{
    forgetSession(true);
}

KeyBackend::Presence PortalKeyboard::presence(SessionType)
{
    if (!probed_) {
        probe();
        return Presence::pending;
    }
    return isAvailable() ? Presence::present : Presence::absent;
}

bool PortalKeyboard::requestConsent()
{
    if (state_ == State::unavailable)
        return false;
    if (state_ != State::idle)
        return true;
    state_ = State::asking;
    ask(Step::createSession, QStringLiteral("CreateSession"), {},
        {{QStringLiteral("session_handle_token"),
          QStringLiteral("quenlark_session%1").arg(nextToken())}});
    return true;
}

QString PortalKeyboard::senderToken() const
{
    return bus_.baseService().mid(1).replace(u'.', u'_');
}

void PortalKeyboard::ask(Step step, const QString& method, QVariantList arguments,
                         QVariantMap options)
{
    // The Response signal is subscribed to before the call, at the path the portal will use, so
    // that a quick answer cannot come before the subscription.
    request_ = nextToken();
    const QString token = QStringLiteral("quenlark%1").arg(request_);
    options.insert(QStringLiteral("handle_token"), token);
    listenForResponse(
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(senderToken(), token));
    step_ = step;

    auto message = portalCall(method);
    arguments << options;
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, request = request_](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                if (state_ != State::asking || request != request_)
                    return;
                const QDBusPendingReply<QDBusObjectPath> reply = *call;
                if (reply.isError())
                    refuse();
                else if (reply.value().path() != requestPath_)
                    listenForResponse(reply.value().path()); // a portal without handle tokens
            });
}

void PortalKeyboard::listenForResponse(const QString& requestPath)
{
    const char* slot = SLOT(requestAnswered(uint, QVariantMap, QDBusMessage));
    if (!requestPath_.isEmpty())
        bus_.disconnect(portalService, requestPath_, requestInterface, QStringLiteral("Response"),
                        this, slot);
    requestPath_ = requestPath;
    if (!requestPath_.isEmpty())
        bus_.connect(portalService, requestPath_, requestInterface, QStringLiteral("Response"),
                     this, slot);
}

void PortalKeyboard::requestAnswered(uint response, const QVariantMap& results,
                                     const QDBusMessage& message)
{
    if (state_ != State::asking || message.path() != requestPath_)
        return;
    listenForResponse({});
    if (response != 0) {
        refuse();
        return;
    }
    switch (step_) {
    case Step::createSession: {
        session_ = sessionPath(results.value(QStringLiteral("session_handle")));
        if (session_.isEmpty()) {
            refuse();
            return;
        }
        bus_.connect(portalService, session_, sessionInterface, QStringLiteral("Closed"), this,
                     SLOT(sessionClosed(QDBusMessage)));
        QVariantMap options{{QStringLiteral("types"), keyboardDevice}};
        if (version_ >= 2) {
            options.insert(QStringLiteral("persist_mode"), persistUntilRevoked);
            if (const auto token = defaults_.stringForKey(restoreTokenKey))
                options.insert(QStringLiteral("restore_token"), *token);
        }
        ask(Step::selectDevices, QStringLiteral("SelectDevices"),
            {QVariant::fromValue(QDBusObjectPath(session_))}, options);
        break;
    }
    case Step::selectDevices:
        ask(Step::start, QStringLiteral("Start"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QString()}, {});
        break;
    case Step::start: {
        if ((results.value(QStringLiteral("devices")).toUInt() & keyboardDevice) == 0) {
            refuse();
            return;
        }
        const QString token = results.value(QStringLiteral("restore_token")).toString();
        if (version_ >= 2 && !token.isEmpty())
            defaults_.setString(token, restoreTokenKey);
        state_ = State::started;
        break;
    }
    }
}

void PortalKeyboard::refuse()
{
    forgetSession(true);
    state_ = State::idle;
    Q_EMIT consentRefused();
}

void PortalKeyboard::forgetSession(bool close)
{
    listenForResponse({});
    keys_.clear();
    releaseDropped_ = {};
    dropping_ = false;
    if (session_.isEmpty())
        return;
    bus_.disconnect(portalService, session_, sessionInterface, QStringLiteral("Closed"), this,
                    SLOT(sessionClosed(QDBusMessage)));
    if (close)
        bus_.send(QDBusMessage::createMethodCall(portalService, session_, sessionInterface,
                                                 QStringLiteral("Close")));
    session_.clear();
}

void PortalKeyboard::sessionClosed(const QDBusMessage& message)
{
    // The user revoked the session in the desktop, or the desktop ended it; a session this
    // program already left (one that was refused, say) ends nothing now.
    if (message.path() != session_)
        return;
    forgetSession(false);
    state_ = State::idle;
}

void PortalKeyboard::post(ArrowKey key, bool keyDown)
{
    if (state_ != State::started)
        return;
    bool& releaseDropped = releaseDropped_[key == ArrowKey::right ? 1 : 0];
    if (!keyDown && std::exchange(releaseDropped, false))
        return;
    if (keyDown) {
        const auto waiting = std::size_t(std::count_if(keys_.cbegin(), keys_.cend(),
                                                       [](const auto& k) { return k.second; })) +
                             (sendingPress_ ? 1 : 0);
        if (waiting >= maxWaitingPresses) {
            releaseDropped = true;
            if (!std::exchange(dropping_, true))
                qCInfo(lcDiagnostic).noquote()
                    << QStringLiteral("[Portal] the desktop has not yet answered %1 "
                                      "presses; further presses are dropped until it "
                                      "catches up")
                           .arg(maxWaitingPresses);
            return;
        }
        dropping_ = false;
    }
    keys_.emplace_back(evdevCode(key), keyDown);
    if (!sending_)
        sendNextKey();
}

void PortalKeyboard::sendNextKey()
{
    sendingPress_ = false;
    if (keys_.empty() || state_ != State::started) {
        sending_ = false;
        return;
    }
    const auto [code, keyDown] = keys_.front();
    keys_.pop_front();
    sending_ = true;
    sendingPress_ = keyDown;
    auto message = portalCall(QStringLiteral("NotifyKeyboardKeycode"));
    message << QVariant::fromValue(QDBusObjectPath(session_)) << QVariantMap() << code
            << uint(keyDown ? 1 : 0);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                sendNextKey();
            });
}

} // namespace quenlark
