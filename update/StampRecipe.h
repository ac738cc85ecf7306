// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Per-board data stamped into a board's own copy of the image before it is cut into blocks: a
// serial number, a MAC address, a fixed text with the board's values in it, and a CRC-32 over a
// range, computed last so that a program that checks its own image still starts.
//
// A recipe is fields separated by ';':
//   serial@OFFSET:FORMAT   FORMAT u32le, u32be, u64le, dec:N (zero-padded decimal text of N
//                          bytes) or hex:N (zero-padded upper-case hex text of N bytes)
//   mac@OFFSET             six bytes
//   text@OFFSET:N=TEXT     TEXT with {serial}, {mac}, {station}, {date}, padded with NUL to N
//   crc32@OFFSET=FROM..TO  CRC-32 (as zlib's) of the bytes FROM to TO inclusive, little-endian
// OFFSET, N, FROM and TO in decimal or 0x hex, from the image's first byte. A field that
// should cover bytes that are not blank (0xFF) ends in ":over".

#include "base/ConfigError.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

struct StampField {
    enum class Kind { Serial, Mac, Text, Crc32 };
    enum class Format { U32Le, U32Be, U64Le, Decimal, Hex }; // Serial only
    Kind kind;
    qint64 offset = 0;
    qint64 size = 0; // bytes it covers
    Format format = Format::U32Le;
    QString text;            // Text: the template
    qint64 from = 0, to = 0; // Crc32: the range, inclusive
    bool over = false;       // may cover bytes that are not blank
};

struct StampRecipe {
    QList<StampField> fields;
    bool Uses(StampField::Kind kind) const;
    // A field of the value (Serial or Mac), or a text with it ({serial}, {mac}) in it.
    bool Needs(StampField::Kind value) const { return FirstBlockHolding(value) >= 0; }
    // The first block that holds the value: once it has gone out, the board has it. -1: none.
    int FirstBlockHolding(StampField::Kind value) const;
};

// A counter of the records store that a value's numbers come from: its name and range.
struct StampCounter {
    QString name; // empty: none given
    qint64 first = 0, last = 0;
};

// A MAC address as the text shows it (02:12:34:00:00:0A), and its 48 bits from such a text.
QString MacText(quint64 mac);
std::optional<quint64> ParseMac(const QString& text);

// Reads a recipe, or says what is wrong with it.
Result<StampRecipe, ConfigError> ParseStampRecipe(const QString& text);

// Whether the recipe fits this image: no field outside it, no two fields over one byte, and none
// over bytes that are not blank unless marked over; a CRC's range inside the image and clear of
// its own bytes.
ConfigDone CheckStampRecipe(const StampRecipe& recipe, const QByteArray& image);

// One board's values.
struct StampValues {
    std::optional<quint64> serial;
    std::optional<quint64> mac; // the address's 48 bits
    QString station;
    QString date; // as the text shows it (YYYY-MM-DD)
};

// The board's copy of the image with its fields written; why not (a value that does not fit its
// field, a value the recipe needs and the board has none of).
Result<QByteArray, ConfigError> StampImage(const StampRecipe& recipe, QByteArray image,
                                           const StampValues& values);

// CRC-32 as zlib and Ethernet have it (reflected 0xEDB88320, initial and final inversion).
quint32 Crc32(const char* bytes, qint64 size);

// An --expect expression with the board's serial number in place of {serial}, matching that
// number alone.
QString ExpectWithSerial(QString expect, qint64 serial);
