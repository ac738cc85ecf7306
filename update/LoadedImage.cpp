// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/LoadedImage.h"

#include "update/Packets.h"

#include <QCryptographicHash>
#include <algorithm>

namespace {

// The SHA-256 of the first `bytes` bytes of the image's blocks, in hex.
QByteArray ImageSha256(const ImageStore& image, qint64 bytes) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (int b = 0; b <= image.m_lastBlock && bytes > 0; ++b) {
        const auto block = image.Block(static_cast<std::uint8_t>(b));
        const qint64 take = std::min<qint64>(bytes, tavrel::kBlockSize);
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(block.data()), take));
        bytes -= take;
    }
    return hash.result().toHex();
}

} // namespace

Result<LoadedImage, ImageError> LoadImage(const QByteArray& path, std::optional<quint32> base,
                                          std::optional<ImageFormat> format) {
    LoadedImage image;
    const FirmwareLoad loaded = LoadFirmwareFile(image.store, path, base, format);
    if (!loaded.result.ok) {
        return ImageError{ImageErrorCode::CannotLoad, loaded.result.message};
    }
    if (const QString empty = RefuseEmptyImage(loaded.result, path); !empty.isEmpty()) {
        return ImageError{ImageErrorCode::Empty, empty};
    }
    image.path = path;
    image.bytes = loaded.result.bytes;
    image.sha256 = ImageSha256(image.store, image.bytes);
    image.format = loaded.format;
    image.description = loaded.description;
    return image;
}

QByteArray ImageBytes(const LoadedImage& image) {
    QByteArray bytes;
    for (int block = 0; block <= image.store.m_lastBlock; ++block) {
        const tavrel::BlockView view = image.store.Block(std::uint8_t(block));
        bytes.append(reinterpret_cast<const char*>(view.data()), qsizetype(view.size()));
    }
    bytes.truncate(image.bytes);
    return bytes;
}

LoadedImage WithImageBytes(LoadedImage image, const QByteArray& bytes) {
    image.store.LoadImageBytes(bytes);
    return image;
}
