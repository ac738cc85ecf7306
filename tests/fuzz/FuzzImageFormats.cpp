// SPDX-License-Identifier: GPL-3.0-or-later
// Any file that looks like Intel HEX or S-record: converting it either loads an image that fits,
// cut into blocks as its size says, or refuses it with a reason; it never ends the program, and
// a refusal changes nothing in the store.
#include "update/ImageFormats.h"

#include <QDir>
#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const QString path =
        QDir::temp().filePath(QStringLiteral("tavrel-fuzz-formats-%1").arg(::getpid()));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            return 0;
        }
        // Mostly addressed files: a record's lead in front of whatever the fuzzer chose.
        const char* lead = size > 0 && data[0] % 3 == 0   ? ":"
                           : size > 0 && data[0] % 3 == 1 ? "S"
                                                          : "";
        file.write(lead);
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    static ImageStore store;
    const auto before = store.m_image;
    const std::uint8_t lastBefore = store.m_lastBlock;
    const FirmwareLoad load = LoadFirmwareFile(store, QFile::encodeName(path));
    if (!load.result.ok) {
        if (load.result.message.isEmpty() || store.m_lastBlock != lastBefore ||
            store.m_image != before) {
            std::abort();
        }
        return 0;
    }
    if (load.result.bytes > ImageStore::kMaxImageBytes ||
        store.m_lastBlock != load.result.bytes / 1024) {
        std::abort();
    }
    return 0;
}
