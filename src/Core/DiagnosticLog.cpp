// SPDX-License-Identifier: MIT
#include "Core/DiagnosticLog.hpp"

#include <cstdio>

namespace quenlark {

void writeDiagnosticLine(const QString& line)
{
    const QByteArray text = line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
    std::fflush(stdout);
}

} // namespace quenlark
