// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/VisibleText.h"

#include <QFile>
#include <QStringList>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// The length of the valid UTF-8 sequence at `p` (1 to 4), or 0 when there is none.
int Utf8SequenceLength(const unsigned char* p, qsizetype left) {
    const unsigned char lead = p[0];
    int length = 0;
    unsigned minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (left < length) {
        return 0;
    }
    unsigned codePoint = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (p[i] & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    const bool c1Control = codePoint >= 0x80 && codePoint <= 0x9F; // the 8-bit escape codes
    if (codePoint < minimum || codePoint > 0x10FFFF || surrogate || c1Control) {
        return 0;
    }
    return length;
}

} // namespace

QString VisibleText(QByteArrayView bytes) {
    QString text;
    text.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (qsizetype i = 0; i < bytes.size();) {
        const unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7F) {
            text += QLatin1Char(static_cast<char>(c));
            ++i;
            continue;
        }
        const int length = c >= 0x80 ? Utf8SequenceLength(p + i, bytes.size() - i) : 0;
        if (length > 0) {
            text += QString::fromUtf8(reinterpret_cast<const char*>(p + i), length);
            i += length;
            continue;
        }
        text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        ++i;
    }
    return text;
}

QByteArray NativePathOf(const QString& path) {
    QByteArray encoded = QFile::encodeName(path);
    struct stat info {};
    if (!path.contains(QChar::ReplacementCharacter) || ::lstat(encoded.constData(), &info) == 0) {
        return encoded;
    }
    // Part by part: a part whose text holds a replacement character is the entry of its folder
    // whose name reads as that text (when exactly one does).
    const QStringList parts = path.split(QLatin1Char('/'));
    QByteArray resolved;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            resolved += '/';
        }
        const QString& part = parts[i];
        QByteArray name = QFile::encodeName(part);
        if (part.contains(QChar::ReplacementCharacter)) {
            const QByteArray folder = resolved.size() > 1 ? resolved.chopped(1) : QByteArray("/");
            QByteArray match;
            int matches = 0;
            if (DIR* dir = ::opendir(resolved.isEmpty() ? "." : folder.constData())) {
                while (const dirent* entry = ::readdir(dir)) {
                    if (QFile::decodeName(entry->d_name) == part) {
                        match = entry->d_name;
                        ++matches;
                    }
                }
                ::closedir(dir);
            }
            if (matches == 1) {
                name = match;
            }
        }
        resolved += name;
    }
    return resolved;
}
