// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/StampRecipe.h"

#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <array>
#include <limits>

namespace {

ConfigError Refused(const QString& why) {
    return ConfigError{ConfigErrorCode::Usage, QStringLiteral("--stamp: %1").arg(why)};
}

// Far beyond any image, and far from overflowing when sizes are added to it.
constexpr qint64 kLargestOffset = qint64(1) << 32;

// A count or an offset in decimal or 0x hex; -1 when it is neither.
qint64 Number(const QString& text) {
    bool ok = false;
    const qint64 value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                             ? text.mid(2).toLongLong(&ok, 16)
                             : text.toLongLong(&ok, 10);
    return ok && value >= 0 && value <= kLargestOffset ? value : -1;
}

Result<StampField, ConfigError> ParseField(QString text) {
    StampField field{};
    if (text.endsWith(QLatin1String(":over"))) {
        field.over = true;
        text.chop(5);
    }
    static const QRegularExpression shape(
        QStringLiteral("^(serial|mac|text|crc32)@(0x[0-9A-Fa-f]+|[0-9]+)(?:([:=])(.*))?$"),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = shape.match(text);
    if (!match.hasMatch()) {
        return Refused(QStringLiteral("%1 is no field; give serial@OFFSET:FORMAT, mac@OFFSET, "
                                      "text@OFFSET:N=TEXT or crc32@OFFSET=FROM..TO")
                           .arg(text));
    }
    const QString kind = match.captured(1);
    const qint64 offset = Number(match.captured(2));
    const QString separator = match.captured(3);
    const QString rest = match.captured(4);
    if (offset < 0) {
        return Refused(QStringLiteral("%1: the offset is too large").arg(text));
    }
    field.offset = offset;
    if (kind == QLatin1String("mac")) {
        if (!separator.isEmpty()) {
            return Refused(
                QStringLiteral("%1: a MAC address takes no format (six bytes)").arg(text));
        }
        field.kind = StampField::Kind::Mac;
        field.size = 6;
        return field;
    }
    if (kind == QLatin1String("serial")) {
        field.kind = StampField::Kind::Serial;
        static const QRegularExpression digits(QStringLiteral("^(dec|hex):([0-9]+)$"));
        const QRegularExpressionMatch textual = digits.match(rest);
        if (separator == QLatin1String(":") && rest == QLatin1String("u32le")) {
            field.format = StampField::Format::U32Le;
            field.size = 4;
        } else if (separator == QLatin1String(":") && rest == QLatin1String("u32be")) {
            field.format = StampField::Format::U32Be;
            field.size = 4;
        } else if (separator == QLatin1String(":") && rest == QLatin1String("u64le")) {
            field.format = StampField::Format::U64Le;
            field.size = 8;
        } else if (separator == QLatin1String(":") && textual.hasMatch() &&
                   textual.captured(2).toInt() >= 1 && textual.captured(2).toInt() <= 20) {
            field.format = textual.captured(1) == QLatin1String("dec") ? StampField::Format::Decimal
                                                                       : StampField::Format::Hex;
            field.size = textual.captured(2).toInt();
        } else {
            return Refused(QStringLiteral("%1: the format is u32le, u32be, u64le, dec:N or hex:N "
                                          "(N from 1 to 20)")
                               .arg(text));
        }
        return field;
    }
    if (kind == QLatin1String("text")) {
        field.kind = StampField::Kind::Text;
        const qsizetype equals = rest.indexOf(QLatin1Char('='));
        const qint64 size = equals > 0 ? Number(rest.left(equals)) : -1;
        if (separator != QLatin1String(":") || size < 1 || size > 4096) {
            return Refused(
                QStringLiteral("%1: give text@OFFSET:N=TEXT, N from 1 to 4096").arg(text));
        }
        field.size = size;
        field.text = rest.mid(equals + 1);
        static const QRegularExpression placeholder(QStringLiteral("\\{([^}]*)\\}"));
        for (const QRegularExpressionMatch& used : placeholder.globalMatch(field.text)) {
            if (!QStringList{"serial", "mac", "station", "date"}.contains(used.captured(1))) {
                return Refused(QStringLiteral("%1: {%2} is no value; the text may hold {serial}, "
                                              "{mac}, {station} and {date}")
                                   .arg(text, used.captured(1)));
            }
        }
        return field;
    }
    field.kind = StampField::Kind::Crc32;
    field.size = 4;
    const QStringList range = rest.split(QStringLiteral(".."));
    const qint64 from = range.size() == 2 ? Number(range[0]) : -1;
    const qint64 to = range.size() == 2 ? Number(range[1]) : -1;
    if (separator != QLatin1String("=") || from < 0 || to < from) {
        return Refused(
            QStringLiteral("%1: give crc32@OFFSET=FROM..TO, FROM not after TO").arg(text));
    }
    field.from = from;
    field.to = to;
    return field;
}

bool Overlap(qint64 a, qint64 aSize, qint64 b, qint64 bSize) {
    return a < b + bSize && b < a + aSize;
}

QString Name(const StampField& field) {
    static const char* names[] = {"serial", "mac", "text", "crc32"};
    return QStringLiteral("%1@0x%2")
        .arg(QLatin1String(names[int(field.kind)]))
        .arg(field.offset, 0, 16);
}

} // namespace

bool StampRecipe::Uses(StampField::Kind kind) const {
    for (const StampField& field : fields) {
        if (field.kind == kind) {
            return true;
        }
    }
    return false;
}

int StampRecipe::FirstBlockHolding(StampField::Kind value) const {
    const QLatin1String placeholder(value == StampField::Kind::Mac ? "{mac}" : "{serial}");
    qint64 first = std::numeric_limits<qint64>::max();
    for (const StampField& field : fields) {
        if (field.kind == value ||
            (field.kind == StampField::Kind::Text && field.text.contains(placeholder))) {
            first = std::min(first, field.offset);
        }
    }
    return first == std::numeric_limits<qint64>::max() ? -1 : int(first / 1024);
}

QString MacText(quint64 mac) {
    QStringList parts;
    for (int shift = 40; shift >= 0; shift -= 8) {
        parts << QStringLiteral("%1").arg((mac >> shift) & 0xff, 2, 16, QLatin1Char('0')).toUpper();
    }
    return parts.join(QLatin1Char(':'));
}

std::optional<quint64> ParseMac(const QString& text) {
    static const QRegularExpression shape(QStringLiteral("^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$"));
    if (!shape.match(text).hasMatch()) {
        return std::nullopt;
    }
    return QString(text).remove(QLatin1Char(':')).toULongLong(nullptr, 16);
}

QString ExpectWithSerial(QString expect, qint64 serial) {
    // The number alone, not as the start or end of a longer one: SN=15 is not SN=1.
    return expect.replace(QLatin1String("{serial}"),
                          QStringLiteral("(?<![0-9])%1(?![0-9])").arg(serial));
}

Result<StampRecipe, ConfigError> ParseStampRecipe(const QString& text) {
    StampRecipe recipe;
    for (const QString& part : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        Result<StampField, ConfigError> field = ParseField(part.trimmed());
        if (!field) {
            return field.error();
        }
        recipe.fields << *field;
    }
    if (recipe.fields.isEmpty()) {
        return Refused(QStringLiteral("the recipe names no field"));
    }
    return recipe;
}

ConfigDone CheckStampRecipe(const StampRecipe& recipe, const QByteArray& image) {
    const qint64 size = image.size();
    for (qsizetype i = 0; i < recipe.fields.size(); ++i) {
        const StampField& field = recipe.fields[i];
        if (field.offset > size || field.size > size - field.offset) {
            return Refused(QStringLiteral("%1 (%2 bytes) falls outside the image of %3 bytes")
                               .arg(Name(field))
                               .arg(field.size)
                               .arg(size));
        }
        for (qsizetype j = 0; j < i; ++j) {
            const StampField& other = recipe.fields[j];
            if (Overlap(field.offset, field.size, other.offset, other.size)) {
                return Refused(
                    QStringLiteral("%1 and %2 cover the same bytes").arg(Name(other), Name(field)));
            }
        }
        if (!field.over) {
            for (qint64 at = field.offset; at < field.offset + field.size; ++at) {
                if (quint8(image[at]) != 0xFF) {
                    return Refused(QStringLiteral("%1 would cover byte 0x%2, which is not blank "
                                                  "(0xFF) in the image; mark the field :over if "
                                                  "that is meant")
                                       .arg(Name(field))
                                       .arg(at, 0, 16));
                }
            }
        }
        if (field.kind == StampField::Kind::Crc32) {
            if (field.to >= size) {
                return Refused(QStringLiteral("%1 sums up to 0x%2, outside the image of %3 bytes")
                                   .arg(Name(field))
                                   .arg(field.to, 0, 16)
                                   .arg(size));
            }
            if (Overlap(field.from, field.to - field.from + 1, field.offset, field.size)) {
                return Refused(QStringLiteral("%1 sums its own bytes").arg(Name(field)));
            }
            // CRCs are written in no order of their own: one may not sum another.
            for (const StampField& other : recipe.fields) {
                if (&other != &field && other.kind == StampField::Kind::Crc32 &&
                    Overlap(field.from, field.to - field.from + 1, other.offset, other.size)) {
                    return Refused(
                        QStringLiteral("%1 sums the bytes of %2").arg(Name(field), Name(other)));
                }
            }
        }
    }
    return {};
}

Result<QByteArray, ConfigError> StampImage(const StampRecipe& recipe, QByteArray image,
                                           const StampValues& values) {
    const auto write = [&](const StampField& field, const QByteArray& bytes) {
        image.replace(field.offset, field.size, bytes);
    };
    if ((recipe.Uses(StampField::Kind::Serial) && !values.serial) ||
        (recipe.Uses(StampField::Kind::Mac) && !values.mac)) {
        return Refused(QStringLiteral("the board has no value for a field of the recipe"));
    }
    // Every field but the CRCs first: a CRC sums what the others wrote.
    for (const bool crcs : {false, true}) {
        for (const StampField& field : recipe.fields) {
            if ((field.kind == StampField::Kind::Crc32) != crcs) {
                continue;
            }
            QByteArray bytes;
            switch (field.kind) {
            case StampField::Kind::Serial: {
                const quint64 serial = *values.serial;
                if (field.format == StampField::Format::Decimal ||
                    field.format == StampField::Format::Hex) {
                    const int base = field.format == StampField::Format::Decimal ? 10 : 16;
                    bytes = QByteArray::number(serial, base).toUpper();
                    if (bytes.size() > field.size) {
                        return Refused(QStringLiteral("serial number %1 does not fit %2")
                                           .arg(serial)
                                           .arg(Name(field)));
                    }
                    bytes = QByteArray(field.size - bytes.size(), '0') + bytes;
                    break;
                }
                if (field.format != StampField::Format::U64Le && serial > 0xFFFFFFFFu) {
                    return Refused(QStringLiteral("serial number %1 does not fit %2")
                                       .arg(serial)
                                       .arg(Name(field)));
                }
                for (int i = 0; i < field.size; ++i) {
                    const int shift =
                        field.format == StampField::Format::U32Be ? (3 - i) * 8 : i * 8;
                    bytes.append(char((serial >> shift) & 0xff));
                }
                break;
            }
            case StampField::Kind::Mac:
                for (int shift = 40; shift >= 0; shift -= 8) {
                    bytes.append(char((*values.mac >> shift) & 0xff));
                }
                break;
            case StampField::Kind::Text: {
                QString text = field.text;
                text.replace(QLatin1String("{serial}"),
                             values.serial ? QString::number(*values.serial) : QString())
                    .replace(QLatin1String("{mac}"), values.mac ? MacText(*values.mac) : QString())
                    .replace(QLatin1String("{station}"), values.station)
                    .replace(QLatin1String("{date}"), values.date);
                bytes = text.toUtf8();
                if (bytes.size() > field.size) {
                    return Refused(
                        QStringLiteral("the text \"%1\" is longer than the %2 bytes of %3")
                            .arg(text)
                            .arg(field.size)
                            .arg(Name(field)));
                }
                bytes.append(QByteArray(field.size - bytes.size(), '\0'));
                break;
            }
            case StampField::Kind::Crc32: {
                const quint32 crc =
                    Crc32(image.constData() + field.from, field.to - field.from + 1);
                for (int i = 0; i < 4; ++i) {
                    bytes.append(char((crc >> (i * 8)) & 0xff));
                }
                break;
            }
            }
            write(field, bytes);
        }
    }
    return image;
}

quint32 Crc32(const char* bytes, qint64 size) {
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> made{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            made[n] = c;
        }
        return made;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (qint64 i = 0; i < size; ++i) {
        crc = table[(crc ^ quint8(bytes[i])) & 0xff] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}
