// SPDX-License-Identifier: GPL-3.0-or-later
// IsAck against its definition: true exactly when the bytes begin with "ACK".
#include "update/Packets.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool expected = size >= 3 && std::memcmp(data, "ACK", 3) == 0;
    if (IsAck(QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size))) !=
        expected) {
        std::abort();
    }
    return 0;
}
