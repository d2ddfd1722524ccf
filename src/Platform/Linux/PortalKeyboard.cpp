// SPDX-License-Identifier: MIT
#include "Platform/Linux/PortalKeyboard.hpp"

#include "Platform/UserDefaults.hpp"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

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
// The portal is started on demand at login; it answers well within this once running.
constexpr int probeTimeoutMs = 3000;

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
    : m_defaults(defaults), m_bus(std::move(bus))
{}

bool PortalKeyboard::isAvailable()
{
    if (std::exchange(m_probed, true) || !m_bus.isConnected())
        return m_state != State::unavailable;
    auto message = QDBusMessage::createMethodCall(portalService, portalPath,
                                                  QStringLiteral("org.freedesktop.DBus.Properties"),
                                                  QStringLiteral("GetAll"));
    message << remoteDesktopInterface;
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, probeTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    const auto properties = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
    if ((properties.value(QStringLiteral("AvailableDeviceTypes")).toUInt() & keyboardDevice) == 0)
        return false;
    m_version = properties.value(QStringLiteral("version")).toUInt();
    m_state = State::idle;
    return true;
}

PortalKeyboard::~PortalKeyboard()
{
    forgetSession(true);
}

void PortalKeyboard::requestConsent()
{
    if (m_state != State::idle)
        return;
    m_state = State::asking;
    ask(Step::createSession, QStringLiteral("CreateSession"), {},
        {{QStringLiteral("session_handle_token"),
          QStringLiteral("quenlark_session%1").arg(nextToken())}});
}

QString PortalKeyboard::senderToken() const
{
    return m_bus.baseService().mid(1).replace(u'.', u'_');
}

void PortalKeyboard::ask(Step step, const QString& method, QVariantList arguments,
                         QVariantMap options)
{
    // The Response signal is subscribed to before the call, at the path the portal will use, so
    // that a quick answer cannot come before the subscription.
    m_request = nextToken();
    const QString token = QStringLiteral("quenlark%1").arg(m_request);
    options.insert(QStringLiteral("handle_token"), token);
    listenForResponse(
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(senderToken(), token));
    m_step = step;

    auto message = portalCall(method);
    arguments << options;
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, request = m_request](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                if (m_state != State::asking || request != m_request)
                    return;
                const QDBusPendingReply<QDBusObjectPath> reply = *call;
                if (reply.isError())
                    refuse();
                else if (reply.value().path() != m_requestPath)
                    listenForResponse(reply.value().path()); // a portal without handle tokens
            });
}

void PortalKeyboard::listenForResponse(const QString& requestPath)
{
    const char* slot = SLOT(requestAnswered(uint, QVariantMap));
    if (!m_requestPath.isEmpty())
        m_bus.disconnect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"),
                         this, slot);
    m_requestPath = requestPath;
    if (!m_requestPath.isEmpty())
        m_bus.connect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"),
                      this, slot);
}

void PortalKeyboard::requestAnswered(uint response, const QVariantMap& results)
{
    if (m_state != State::asking)
        return;
    listenForResponse({});
    if (response != 0) {
        refuse();
        return;
    }
    switch (m_step) {
    case Step::createSession: {
        m_session = sessionPath(results.value(QStringLiteral("session_handle")));
        if (m_session.isEmpty()) {
            refuse();
            return;
        }
        m_bus.connect(portalService, m_session, sessionInterface, QStringLiteral("Closed"), this,
                      SLOT(sessionClosed()));
        QVariantMap options{{QStringLiteral("types"), keyboardDevice}};
        if (m_version >= 2) {
            options.insert(QStringLiteral("persist_mode"), persistUntilRevoked);
            if (const auto token = m_defaults.stringForKey(restoreTokenKey))
                options.insert(QStringLiteral("restore_token"), *token);
        }
        ask(Step::selectDevices, QStringLiteral("SelectDevices"),
            {QVariant::fromValue(QDBusObjectPath(m_session))}, options);
        break;
    }
    case Step::selectDevices:
        ask(Step::start, QStringLiteral("Start"),
            {QVariant::fromValue(QDBusObjectPath(m_session)), QString()}, {});
        break;
    case Step::start: {
        if ((results.value(QStringLiteral("devices")).toUInt() & keyboardDevice) == 0) {
            refuse();
            return;
        }
        const QString token = results.value(QStringLiteral("restore_token")).toString();
        if (m_version >= 2 && !token.isEmpty())
            m_defaults.setString(token, restoreTokenKey);
        m_state = State::started;
        break;
    }
    }
}

void PortalKeyboard::refuse()
{
    forgetSession(true);
    m_state = State::idle;
    if (onRefused)
        onRefused();
}

void PortalKeyboard::forgetSession(bool close)
{
    listenForResponse({});
    m_keys.clear();
    if (m_session.isEmpty())
        return;
    m_bus.disconnect(portalService, m_session, sessionInterface, QStringLiteral("Closed"), this,
                     SLOT(sessionClosed()));
    if (close)
        m_bus.send(QDBusMessage::createMethodCall(portalService, m_session, sessionInterface,
                                                  QStringLiteral("Close")));
    m_session.clear();
}

void PortalKeyboard::sessionClosed()
{
    // The user revoked the session in the desktop, or the desktop ended it.
    forgetSession(false);
    m_state = State::idle;
}

void PortalKeyboard::post(ArrowKey key, bool keyDown)
{
    if (m_state != State::started)
        return;
    m_keys.emplace_back(evdevCode(key), keyDown);
    if (!m_sending)
        sendNextKey();
}

void PortalKeyboard::sendNextKey()
{
    if (m_keys.empty() || m_state != State::started) {
        m_sending = false;
        return;
    }
    const auto [code, keyDown] = m_keys.front();
    m_keys.pop_front();
    m_sending = true;
    auto message = portalCall(QStringLiteral("NotifyKeyboardKeycode"));
    message << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariantMap() << code
            << uint(keyDown ? 1 : 0);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                sendNextKey();
            });
}

} // namespace quenlark
