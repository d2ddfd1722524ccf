// SPDX-License-Identifier: MIT
#include "Core/DiagnosticLog.hpp"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace quenlark {

Q_LOGGING_CATEGORY(lcDiagnostic, "quenlark.diagnostic", QtInfoMsg)

namespace {

QtMessageHandler otherCategories = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (!context.category || std::strcmp(context.category, lcDiagnostic().categoryName()) != 0) {
        otherCategories(type, context, message);
        return;
    }
    const QByteArray text = message.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
    std::fflush(stdout);
}

// Every application object runs this; the handler goes in once, so that it never passes a message
// on to itself.
void installHandler()
{
    static std::once_flag installed;
    std::call_once(installed, [] { otherCategories = qInstallMessageHandler(handleMessage); });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installHandler)

} // namespace quenlark
