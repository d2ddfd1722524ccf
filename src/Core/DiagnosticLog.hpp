// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

// The program's one-line diagnostics: qCInfo(lcDiagnostic).noquote() << text. Once an application
// object exists, a message handler writes each of them as it is, one line on standard output,
// flushed at once so that it survives a crash or a kill; every other category goes on to the
// handler that was there before (Qt's own writes to standard error).
namespace quenlark {
Q_DECLARE_LOGGING_CATEGORY(lcDiagnostic)
} // namespace quenlark
