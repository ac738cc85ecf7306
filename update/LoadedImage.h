// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A firmware image loaded once for a run: its name, its bytes cut into blocks, its size, its
// SHA-256, its format and the description the operator reads, all made here and nowhere else.

#include "base/Result.h"
#include "update/ImageFormats.h"
#include "update/ImageStore.h"

#include <QByteArray>
#include <QString>
#include <optional>

struct LoadedImage {
    QByteArray path; // as the system names it
    ImageStore store;
    qint64 bytes = 0;
    QByteArray sha256; // of the image's bytes (not the file's, for HEX and S-record), in hex
    ImageFormat format = ImageFormat::Binary;
    QString description; // the format, the address range and the size
};

enum class ImageErrorCode { CannotLoad, Empty };
using ImageError = Error<ImageErrorCode>;

// Loads the image; an empty one (what a failed build leaves) is refused.
Result<LoadedImage, ImageError> LoadImage(const QByteArray& path,
                                          std::optional<quint32> base = std::nullopt,
                                          std::optional<ImageFormat> format = std::nullopt);

// The image's own bytes, without the padding of its last block.
QByteArray ImageBytes(const LoadedImage& image);
// The same image with other bytes of the same size (a board's stamped copy); its path, format,
// description and SHA-256 stay those of the file it came from.
LoadedImage WithImageBytes(LoadedImage image, const QByteArray& bytes);
