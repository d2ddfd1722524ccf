// SPDX-License-Identifier: MIT
#include "Platform/Qt/HelperHttpClient.hpp"

#include "Platform/Qt/NetworkHttpClient.hpp"

#include <QProcess>
#include <QTimer>

#include <utility>

namespace quenlark {

HelperHttpClient::HelperHttpClient(QString program, QStringList arguments)
    : program_(std::move(program)), arguments_(std::move(arguments)),
      stallTimeout_(NetworkHttpClient::defaultStallTimeout),
      totalTimeout_(NetworkHttpClient::defaultTotalTimeout)
{}

HelperHttpClient::~HelperHttpClient()
{
    // Taken first, so that nothing the kills below emit finds a request to complete.
    const auto requests = std::exchange(inFlight_, {});
    for (auto it = requests.cbegin(); it != requests.cend(); ++it) {
        QProcess* process = it.key();
        process->disconnect();
        process->kill();
        process->waitForFinished();
        delete process;
    }
    for (const Request& request : requests)
        request.completion(std::nullopt);
}

void HelperHttpClient::setTimeouts(std::chrono::milliseconds stall, std::chrono::milliseconds total)
{
    stallTimeout_ = stall;
    totalTimeout_ = total;
}

void HelperHttpClient::get(const QUrl& url,
                           std::function<void(std::optional<QByteArray> body)> completion)
{
    auto* process = new QProcess;
    inFlight_.insert(process, Request{std::move(completion), {}});
    QTimer::singleShot(0, process, [this, process, url] { launch(process, url); });
}

void HelperHttpClient::launch(QProcess* process, const QUrl& url)
{
    QObject::connect(process, &QProcess::readyReadStandardOutput, process,
                     [this, process] { readAvailable(process); });
    QObject::connect(process, &QProcess::finished, process,
                     [this, process](int exitCode, QProcess::ExitStatus status) {
                         finish(process, status == QProcess::NormalExit && exitCode == 0);
                     });
    // A helper that never starts emits no finished signal.
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [this, process](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart)
                             finish(process, false);
                     });
    QTimer::singleShot(totalTimeout_ + exitGrace, process, &QProcess::kill);

    process->setStandardInputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(program_,
                   QStringList(arguments_)
                       << QStringLiteral("--stall-timeout")
                       << QString::number(stallTimeout_.count())
                       << QStringLiteral("--total-timeout")
                       << QString::number(totalTimeout_.count()) << QStringLiteral("--")
                       << url.toString(QUrl::FullyEncoded),
                   QIODevice::ReadOnly);
}

void HelperHttpClient::readAvailable(QProcess* process)
{
    const auto request = inFlight_.find(process);
    if (request == inFlight_.end())
        return;
    request->body += process->readAll();
}

void HelperHttpClient::finish(QProcess* process, bool succeeded)
{
    readAvailable(process);
    const auto found = inFlight_.find(process);
    if (found == inFlight_.end())
        return;
    Request request = std::move(*found);
    inFlight_.erase(found);
    process->deleteLater();

    std::optional<QByteArray> body;
    if (succeeded)
        body = std::move(request.body);
    request.completion(std::move(body));
}

} // namespace quenlark
