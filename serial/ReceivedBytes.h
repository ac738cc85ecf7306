// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What one receive event's bytes become: the fixed 1024-byte buffer the transfer engine reads
// (zeros beyond the bytes that arrived) and the log entry (the text up to the first zero byte,
// in the local 8-bit encoding, then LF CR).

#include <QByteArrayView>
#include <QString>
#include <array>

inline constexpr int kReceiveBufferSize = 1024;

struct ReceivedBytes {
    std::array<char, kReceiveBufferSize> buffer{};
    QString logEntry;
};

// However many bytes arrive, the buffer takes the first 1024 and the log keeps every byte up to
// the first zero: nothing the device said is dropped from the log.
ReceivedBytes TakeReceivedBytes(QByteArrayView input);
