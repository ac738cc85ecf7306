// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/ImageFormats.h"

#include "base/VisibleText.h"

#include "base/WriteAll.h"
#include "update/RecordText.h"

#include <QRegularExpression>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <srecord/input/file/intel.h>
#include <srecord/memory.h>
#include <srecord/quit.h>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

// The library ships no header for its S-record reader; this is the one function of it we call.
namespace srecord {
class input_file_motorola : public input_file {
  public:
    static pointer create(const std::string& file_name);
};
} // namespace srecord

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// A record line: its lead, then hex digits only, then the line's end (or the end of what we
// looked at).
bool RecordLine(QByteArrayView line, qsizetype leadLength, qsizetype minimumDigits) {
    qsizetype digits = 0;
    for (qsizetype i = leadLength; i < line.size(); ++i) {
        if (line[i] == '\r' || line[i] == '\n' || line[i] == ' ' || line[i] == '\t') {
            break; // blanks may end a record's line
        }
        if (!IsHexDigit(line[i])) {
            return false;
        }
        ++digits;
    }
    return digits >= minimumDigits;
}

// Errors of the library are thrown, never taken as a reason to end the program; and so are
// its warnings (a garbage line it would skip, a missing end record): a file it has doubts about
// could be flashed shifted or with holes, and a damaged image is never passed.
class ThrowingQuit : public srecord::quit {
  public:
    void message_v(const char* format, va_list arguments) override {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, arguments);
        m_message = text;
        if (m_message.find("warning:") != std::string::npos && m_warning.empty()) {
            m_warning = m_message; // the library reads on; the file is refused afterwards
        }
    }
    void exit(int) override { throw std::runtime_error(m_message); }
    const std::string& Warning() const { return m_warning; }

  private:
    std::string m_message;
    std::string m_warning;
};

QString Hex(quint64 address) {
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(address, 8, 16, QLatin1Char('0')).toUpper();
}

FirmwareLoad Refused(const QByteArray& path, const QString& reason) {
    FirmwareLoad load;
    load.result = RefusedLoad(path, reason);
    return load;
}

} // namespace

ImageFormat DetectImageFormat(QByteArrayView start) {
    qsizetype at = start.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (at < start.size() &&
           (start[at] == ' ' || start[at] == '\t' || start[at] == '\r' || start[at] == '\n')) {
        ++at;
    }
    const QByteArrayView line = start.sliced(at);
    if (line.startsWith(':') && RecordLine(line, 1, 10)) {
        return ImageFormat::IntelHex;
    }
    if (line.size() >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9' &&
        RecordLine(line, 2, 8)) {
        return ImageFormat::SRecord;
    }
    return ImageFormat::Binary;
}

namespace {
const char* const kIntelHexEndings[] = {".hex", ".ihex", ".ihx"};
const char* const kSRecordEndings[] = {".srec", ".s19", ".s28", ".s37", ".s1",
                                       ".s2",   ".s3",  ".sx",  ".mot", ".mhx"};
} // namespace

std::optional<ImageFormat> FormatOfName(QByteArrayView path) {
    const QByteArray name = path.toByteArray().toLower();
    for (const char* ending : kIntelHexEndings) {
        if (name.endsWith(ending)) {
            return ImageFormat::IntelHex;
        }
    }
    for (const char* ending : kSRecordEndings) {
        if (name.endsWith(ending)) {
            return ImageFormat::SRecord;
        }
    }
    return std::nullopt;
}

QString FirmwareNamePatterns() {
    QString patterns = QStringLiteral("*.bin");
    for (const char* ending : kIntelHexEndings) {
        patterns += QStringLiteral(" *") + QLatin1String(ending);
    }
    for (const char* ending : kSRecordEndings) {
        patterns += QStringLiteral(" *") + QLatin1String(ending);
    }
    return patterns;
}

QString FormatName(ImageFormat format) {
    switch (format) {
    case ImageFormat::IntelHex:
        return QStringLiteral("Intel HEX");
    case ImageFormat::SRecord:
        return QStringLiteral("S-record");
    case ImageFormat::Binary:
        break;
    }
    return QStringLiteral("binary");
}

namespace {

// The largest HEX or S-record text taken: more than the text of any image that fits, written
// one data byte a record.
constexpr qint64 kLargestRecordFile = 16 * 1024 * 1024;

// Reads the records of `text` into `memory` with the library; the reason when it refuses them.
QString ReadRecords(const std::string& name, ImageFormat format, srecord::memory& memory) {
    // Whatever the library says of a damaged file becomes the reason; nothing else changes.
    ThrowingQuit quit;
    try {
        srecord::input::pointer input = format == ImageFormat::IntelHex
                                            ? srecord::input_file_intel::create(name)
                                            : srecord::input_file_motorola::create(name);
        input->set_quit(quit);
        // The same data twice is harmless; different data for one address is refused.
        memory.reader(input, srecord::defcon_ignore, srecord::defcon_fatal_error);
    } catch (const std::exception& error) {
        return QString::fromLocal8Bit(error.what());
    } catch (...) {
        return QStringLiteral("the record reader failed");
    }
    return QString::fromLocal8Bit(quit.Warning().c_str());
}

// The library reads records from a file name. It gets an anonymous in-memory file holding the
// bytes already read and checked, so that what it parses is exactly what was checked: a file
// swapped for a FIFO after the check can neither block nor change it.
QString ParseRecords(const RecordText& records, ImageFormat format, srecord::memory& memory) {
    const int fd = ::memfd_create("tavrel-image", MFD_CLOEXEC);
    if (fd < 0) {
        return QString::fromLocal8Bit(std::strerror(errno)) + QLatin1Char('.');
    }
    const std::string name = "/proc/self/fd/" + std::to_string(fd);
    QString reason;
    if (const int error = WriteAll(fd, records.text); error != 0) {
        reason = QString::fromLocal8Bit(std::strerror(error));
    } else {
        reason = ReadRecords(name, format, memory);
    }
    ::close(fd);
    if (reason.isEmpty()) {
        return {};
    }
    // The library names the file and the line it read; the operator knows the file by its own
    // name, and the line by the file's own numbering.
    reason.remove(QString::fromStdString(name + ": "));
    static const QRegularExpression lineNumber(QStringLiteral("^(\\d+): "));
    const QRegularExpressionMatch match = lineNumber.match(reason);
    if (match.hasMatch()) {
        const int line = match.captured(1).toInt();
        const int fileLine =
            line >= 1 && line <= records.origin.size() ? records.origin[line - 1] : 0;
        reason.replace(0, match.capturedLength(),
                       fileLine > 0 ? QStringLiteral("line %1: ").arg(fileLine) : QString());
    }
    return reason + QLatin1Char('.');
}

} // namespace

FirmwareLoad LoadFirmwareFile(ImageStore& store, const QByteArray& path,
                              std::optional<quint32> base, std::optional<ImageFormat> format) {
    // One open: every check and the parse see the bytes read through the descriptor that was
    // checked (a regular file, not locked by a writer).
    const ImageFileBytes file = ReadImageFile(path, kLargestRecordFile);
    if (!file.reason.isEmpty()) {
        return Refused(path, file.reason);
    }
    const QByteArray& bytes = file.bytes;
    const QByteArrayView start =
        QByteArrayView(bytes).first(std::min<qsizetype>(bytes.size(), 512));
    FirmwareLoad load;
    const ImageFormat detected = DetectImageFormat(start);
    load.format = format ? *format : detected;
    if (const std::optional<ImageFormat> named = FormatOfName(path);
        !format && named && detected == ImageFormat::Binary) {
        // A damaged or mislabelled file: its text would go to the device as firmware.
        return Refused(path, QStringLiteral("the name says %1, but the file does not begin with "
                                            "an %1 line; check that it is the file meant. A raw "
                                            "binary must be named .bin (or given to "
                                            "tavrel-flash with --format bin).")
                                 .arg(FormatName(*named)));
    }
    if (format && *format != ImageFormat::Binary && detected != *format) {
        return Refused(path,
                       QStringLiteral("--format %1, but the file begins like %2.")
                           .arg(QLatin1String(*format == ImageFormat::IntelHex ? "hex" : "srec"),
                                FormatName(detected)));
    }
    if (load.format != ImageFormat::Binary && start.startsWith("\xEF\xBB\xBF")) {
        return Refused(path, QStringLiteral("the file begins with a byte order mark, which %1 "
                                            "readers do not take; save it without one.")
                                 .arg(FormatName(load.format)));
    }
    if (load.format == ImageFormat::Binary) {
        if (base) {
            return Refused(path, QStringLiteral("--base applies to Intel HEX and S-record images; "
                                                "this file is read as raw binary."));
        }
        load.result = store.LoadRawFile(path, file);
        load.description = QStringLiteral("binary, %1 bytes").arg(load.result.bytes);
        return load;
    }
    if (file.tooLarge) {
        return Refused(path, QStringLiteral("the file is larger than the %1 text of any image "
                                            "that fits.")
                                 .arg(FormatName(load.format)));
    }
    const RecordText records = CheckRecordText(bytes, load.format);
    if (!records.ok) {
        return Refused(path, records.reason);
    }
    srecord::memory memory;
    if (const QString reason = ParseRecords(records, load.format, memory); !reason.isEmpty()) {
        return Refused(path, reason);
    }
    if (memory.empty()) {
        return Refused(path,
                       QStringLiteral("the %1 file holds no data.").arg(FormatName(load.format)));
    }
    const quint64 lowest = memory.get_lower_bound();
    const quint64 end = memory.get_upper_bound(); // one past the highest address
    const quint64 first = base ? *base : lowest;
    if (lowest < first) {
        return Refused(
            path, QStringLiteral("data at %1 lies below --base %2.").arg(Hex(lowest), Hex(first)));
    }
    const quint64 size = end - first;
    if (size > quint64(ImageStore::kMaxImageBytes)) {
        return Refused(path, QStringLiteral("addresses %1 to %2 make %3 bytes; the largest image "
                                            "that fits is 241,663 bytes.")
                                 .arg(Hex(first), Hex(end - 1))
                                 .arg(size));
    }
    QByteArray image(static_cast<qsizetype>(size), static_cast<char>(0xFF)); // gaps stay 0xFF
    unsigned long address = static_cast<unsigned long>(first);
    unsigned char chunk[4096];
    std::size_t taken = sizeof chunk;
    while (memory.find_next_data(address, chunk, taken)) {
        std::memcpy(image.data() + (address - first), chunk, taken);
        address += taken;
        taken = sizeof chunk;
    }
    store.LoadImageBytes(image);
    load.result = {true, {}, image.size()};
    load.description = QStringLiteral("%1, addresses %2 to %3, %4 bytes")
                           .arg(FormatName(load.format), Hex(first), Hex(end - 1))
                           .arg(image.size());
    return load;
}

QString RefuseEmptyImage(const LoadResult& loaded, const QByteArray& path) {
    return loaded.ok && loaded.bytes == 0
               ? QStringLiteral("%1: the image is empty (0 bytes); a failed build leaves such a "
                                "file. Build the image again.")
                     .arg(VisibleText(path))
               : QString();
}
