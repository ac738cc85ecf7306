// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's version record.

#include <QString>
#include <array>
#include <utility>

namespace tavrel {
inline constexpr const char* kVersion = "1.0.0.1";

// Key and value of each entry, as the version record carries them.
inline const std::array<std::pair<const char*, const char*>, 8> kVersionRecord = {{
    {"CompanyName", "Tavrel"},
    {"FileDescription", "Tavrel_V1.0"},
    {"FileVersion", "1.0.0.1"},
    {"InternalName", "Tavrel_V1.0.exe"},
    {"LegalCopyright", "Copyright (C) Tavrel developers"},
    {"OriginalFilename", "Tavrel_V1.0.exe"},
    {"ProductName", "Tavrel"},
    {"ProductVersion", "1.0.0.1"},
}};

inline QString VersionValue(const char* key) {
    for (const auto& [k, v] : kVersionRecord) {
        if (QString::fromLatin1(k) == QLatin1String(key)) {
            return QString::fromUtf8(v);
        }
    }
    return {};
}
} // namespace tavrel
