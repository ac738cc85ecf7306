// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes of a receive event: the engine's buffer holds exactly the first 1024 and zeros
// beyond, and the log entry ends with LF CR; appended to a log nothing is lost.
#include "serial/DataLog.h"
#include "serial/ReceivedBytes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const ReceivedBytes received = TakeReceivedBytes(input);
    const std::size_t copied = size < kReceiveBufferSize ? size : kReceiveBufferSize;
    if (std::memcmp(received.buffer.data(), data, copied) != 0) {
        std::abort();
    }
    for (std::size_t i = copied; i < kReceiveBufferSize; ++i) {
        if (received.buffer[i] != 0) {
            std::abort();
        }
    }
    if (!received.logEntry.endsWith(QLatin1String("\n\r"))) {
        std::abort();
    }
    const qsizetype zero = input.indexOf('\0');
    if (zero == 0 && received.logEntry.size() != 2) {
        std::abort();
    }
    DataLog log;
    log.Append(QStringLiteral("earlier\n\r"));
    const quint64 revision = log.Revision();
    log.Append(received.logEntry);
    if (log.Revision() != revision || log.Size() != 9 + received.logEntry.size()) {
        std::abort();
    }
    return 0;
}
