// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The firmware image that the next update sends, cut into 1024-byte blocks.
// Block b lives in row b + 20, the row of its block number; rows 0 to 19 are never used,
// which leaves room for 236 blocks.

#include "update/Packets.h"

#include <QByteArrayView>
#include <QString>
#include <array>
#include <cstdint>

struct LoadResult {
    bool ok = false;
    QString message;  // for the operator when ok is false
    qint64 bytes = 0; // read from the file, when ok
};

// Opens an image file by the exact bytes of its name, for reading; the caller closes it. -1,
// and the reason, for a file that cannot be used: missing, a folder, a device, pipe or socket
// (whose reading could block), or locked by another program that may be changing it.
int OpenImageFile(const QByteArray& path, QString& reason);
struct ImageFileBytes {
    QByteArray bytes;      // the whole file; only its beginning when it is too large
    bool tooLarge = false; // longer than the limit it was read with
    qint64 sizeOnDisk = 0; // what the system says of its size (none for /proc and /sys)
    QString reason;        // why it cannot be read; empty when it was
};
// Reads the whole image file at `path` through the one descriptor that OpenImageFile checked,
// so that the bytes read are those of the file checked; a file longer than `limit` is not read
// beyond its beginning.
ImageFileBytes ReadImageFile(const QByteArray& path, qint64 limit);
// The refusal of a file that cannot be loaded, for the operator: the name and the reason.
LoadResult RefusedLoad(const QByteArray& path, const QString& reason);

class ImageStore {
  public:
    static constexpr int kRows = 256;
    static constexpr int kCapacityBlocks = kRows - tavrel::kBlockNumberOffset; // 236
    // The last block index is the size divided by 1024, so a file of exactly 236 KiB would
    // need a 237th block: the largest file that fits is one byte short of that.
    static constexpr qint64 kMaxImageBytes = qint64(kCapacityBlocks) * tavrel::kBlockSize - 1;

    // Reads the whole file as raw bytes, to its end, whatever size the system reports for it.
    // Never creates, truncates or writes it. A file that cannot be used leaves the store exactly
    // as it was and says why in the result.
    LoadResult LoadImageFile(const QByteArray& nativePath);
    // The same for a path given as text (a file dialog's choice): see NativePathOf.
    LoadResult LoadImageFile(const QString& path);
    // A raw image read already (ReadImageFile): stored, or refused for the operator (it could
    // not be read, or it does not fit), the store left as it was.
    LoadResult LoadRawFile(const QByteArray& path, const ImageFileBytes& file);
    // An image already in memory (converted from another format); false, and nothing changed,
    // when it does not fit.
    bool LoadImageBytes(QByteArrayView bytes);

    // The 1024 bytes of block `blockIndex` (row blockIndex + 20).
    tavrel::BlockView Block(std::uint8_t blockIndex) const;

    using Row = std::array<std::uint8_t, tavrel::kBlockSize>;
    std::array<Row, kRows> m_image{};
    std::uint8_t m_imageReady = 0;
    std::uint8_t m_lastBlock = 0;

  private:
    // Cuts `size` bytes into blocks 0 to size / 1024, the last one filled up with 0xFF.
    void StoreBytes(const std::uint8_t* source, qint64 size);
};
