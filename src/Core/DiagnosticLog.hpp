// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace quenlark {

// One line on standard output, flushed at once so that it survives a crash or a kill.
void writeDiagnosticLine(const QString& line);

} // namespace quenlark
