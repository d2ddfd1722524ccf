// SPDX-License-Identifier: MIT
// quenlark-fetch-release: one GET with NetworkHttpClient, for HelperHttpClient. The body goes to
// standard output and the exit status is 0; with no body (any failure, a cut-off reply, a bad
// argument) nothing is written and the status is 1.
#include "BuildConfig.hpp"
#include "Platform/Qt/NetworkHttpClient.hpp"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSslCertificate>
#include <QTimer>

#include <chrono>
#include <cstdio>

using namespace quenlark;

namespace {

std::chrono::milliseconds milliseconds(const QCommandLineParser& parser,
                                       const QCommandLineOption& option,
                                       std::chrono::milliseconds fallback)
{
    bool valid = false;
    const qint64 value = parser.value(option).toLongLong(&valid);
    return valid && value > 0 ? std::chrono::milliseconds(value) : fallback;
}

bool writeAll(const QByteArray& body)
{
    return std::fwrite(body.constData(), 1, static_cast<std::size_t>(body.size()), stdout) ==
               static_cast<std::size_t>(body.size()) &&
           std::fflush(stdout) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quenlark-fetch-release"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUENLARK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Fetches one web address for the Quenlark Companion's release check and writes the body "
        "to standard output."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption authorities(
        QStringLiteral("ca-certificates"),
        QStringLiteral("Trust only the certificate authorities in <file> (PEM)."),
        QStringLiteral("file"));
    const QCommandLineOption stall(QStringLiteral("stall-timeout"),
                                   QStringLiteral("Give up when no byte moves for <ms>."),
                                   QStringLiteral("ms"));
    const QCommandLineOption total(QStringLiteral("total-timeout"),
                                   QStringLiteral("Give up after <ms> in all."),
                                   QStringLiteral("ms"));
    parser.addOptions({authorities, stall, total});
    parser.addPositionalArgument(QStringLiteral("url"), QStringLiteral("The https address."));
    parser.process(application);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(1);

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (parser.isSet(authorities)) {
        const auto certificates = QSslCertificate::fromPath(parser.value(authorities));
        if (certificates.isEmpty())
            return 1;
        tls.setCaCertificates(certificates);
    }
    NetworkHttpClient client(tls);
    client.setTimeouts(milliseconds(parser, stall, NetworkHttpClient::defaultStallTimeout),
                       milliseconds(parser, total, NetworkHttpClient::defaultTotalTimeout));
    const QUrl url(parser.positionalArguments().constFirst(), QUrl::StrictMode);
    QTimer::singleShot(0, &application, [&client, &url] {
        client.get(url, [](std::optional<QByteArray> body) {
            QCoreApplication::exit(body && writeAll(*body) ? 0 : 1);
        });
    });
    return QCoreApplication::exec();
}
