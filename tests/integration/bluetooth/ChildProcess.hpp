// SPDX-License-Identifier: MIT
#pragma once

#include <QDeadlineTimer>
#include <QProcess>

#include <optional>

// Helpers for the processes a test starts: they never outlive it, even when it crashes.
namespace quenlark::integration::ChildProcess {

// Has the kernel end the child when the test process dies. Call before start().
void endWithParent(QProcess& process);
// The next line on the child's standard output, or nothing when none comes before the deadline or
// the child exits.
std::optional<QString> readLine(QProcess& process, QDeadlineTimer deadline);
// Asks the child to stop, then kills it if it has not within a few seconds.
void stop(QProcess& process);

} // namespace quenlark::integration::ChildProcess
