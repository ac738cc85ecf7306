// SPDX-License-Identifier: GPL-3.0-or-later
// Any file content: a file that fits loads as its bytes padded with 0xFF to whole blocks (one
// more block for an exact multiple of 1024); a larger one is refused and changes nothing.
#include "update/ImageStore.h"

#include <QDir>
#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const QString path =
        QDir::temp().filePath(QStringLiteral("tavrel-fuzz-%1.bin").arg(::getpid()));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            return 0;
        }
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    static ImageStore store;
    const auto before = store.m_image;
    const std::uint8_t lastBefore = store.m_lastBlock;
    const LoadResult result = store.LoadImageFile(path);
    if (static_cast<qint64>(size) > ImageStore::kMaxImageBytes) {
        if (result.ok || store.m_lastBlock != lastBefore || store.m_image != before) {
            std::abort();
        }
        return 0;
    }
    if (!result.ok || store.m_lastBlock != size / 1024) {
        std::abort();
    }
    for (std::size_t b = 0; b <= store.m_lastBlock; ++b) {
        const auto block = store.Block(static_cast<std::uint8_t>(b));
        for (std::size_t j = 0; j < 1024; ++j) {
            const std::size_t at = b * 1024 + j;
            const std::uint8_t expected = at < size ? data[at] : 0xFF;
            if (block[j] != expected) {
                std::abort();
            }
        }
    }
    return 0;
}
