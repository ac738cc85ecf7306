// SPDX-License-Identifier: GPL-3.0-or-later
// Any settings string: parsing never crashes, and what it accepts prints back to an equal
// setting.
#include "serial/SerialSettings.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto parsed = ParseSerialSettings(text);
    if (!parsed) {
        return 0;
    }
    if (parsed->baud < 1 || parsed->dataBits < 5 || parsed->dataBits > 8) {
        std::abort();
    }
    const char* parity = "nxeosm"; // indexed by QSerialPort::Parity
    const QString again = QStringLiteral("%1,%2,%3,%4")
                              .arg(parsed->baud)
                              .arg(QLatin1Char(parity[parsed->parity]))
                              .arg(int(parsed->dataBits))
                              .arg(parsed->stopBits == QSerialPort::OneAndHalfStop
                                       ? QStringLiteral("1.5")
                                       : QString::number(int(parsed->stopBits)));
    const auto reparsed = ParseSerialSettings(again);
    if (!reparsed || reparsed->baud != parsed->baud || reparsed->parity != parsed->parity ||
        reparsed->dataBits != parsed->dataBits || reparsed->stopBits != parsed->stopBits) {
        std::abort();
    }
    return 0;
}
