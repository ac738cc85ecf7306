// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/ReceivedBytes.h"

#include <algorithm>
#include <cstring>

ReceivedBytes TakeReceivedBytes(QByteArrayView input) {
    ReceivedBytes received;
    std::memcpy(received.buffer.data(), input.data(),
                static_cast<std::size_t>(std::min<qsizetype>(input.size(), kReceiveBufferSize)));
    qsizetype textLength = input.indexOf('\0');
    if (textLength < 0) {
        textLength = input.size();
    }
    received.logEntry = QString::fromLocal8Bit(input.first(textLength));
    received.logEntry += QLatin1String("\n\r"); // LF then CR, as the log has always had it
    return received;
}
