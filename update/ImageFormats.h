// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Firmware files as toolchains write them: raw binary, Intel HEX and Motorola S-record. The
// format is told from the file's content (or given by the operator), never from its name; a name
// only stops a file named as HEX or S-record that is not one from being flashed as raw text.
// An addressed file (HEX,
// S-record) becomes the bytes from its lowest address (or a given base) to its highest, gaps
// filled with 0xFF; Debian's srecord library reads it.

#include "update/ImageStore.h"

#include <QByteArray>
#include <QString>
#include <optional>

enum class ImageFormat { Binary, IntelHex, SRecord };

// The format whose first line the bytes begin with; anything else is raw binary.
ImageFormat DetectImageFormat(QByteArrayView start);
QString FormatName(ImageFormat format);

struct FirmwareLoad {
    LoadResult result;
    ImageFormat format = ImageFormat::Binary;
    QString description; // for the operator: the format, the address range and the size
};

// The format a name says, for a name that says one (fw.hex, fw.s19, ...).
std::optional<ImageFormat> FormatOfName(QByteArrayView path);
// The names firmware files have, as patterns for a file dialog: "*.bin *.hex ...".
QString FirmwareNamePatterns();

// Loads the file at `path` into `store` in the given format, or in whatever format its content
// shows. `base`, for an addressed file only, is the address of the image's first byte; data
// below it is refused.
// Why a loaded image may not be written to a board: a file of no bytes (what a failed build
// leaves) would go out as one blank block and pass. Empty when it may.
QString RefuseEmptyImage(const LoadResult& loaded, const QByteArray& path);

FirmwareLoad LoadFirmwareFile(ImageStore& store, const QByteArray& path,
                              std::optional<quint32> base = std::nullopt,
                              std::optional<ImageFormat> format = std::nullopt);
