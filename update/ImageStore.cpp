// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/ImageStore.h"

#include "base/VisibleText.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavrel;

namespace {

QString ReasonFromErrno(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Closes the descriptor (and so releases its lock) whichever way the load ends.
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

QString WithThousands(qint64 value) {
    QString digits = QString::number(value);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3) {
        digits.insert(i, QLatin1Char(','));
    }
    return digits;
}

// Another program that holds the image open for writing with a lock may be changing it while
// we read: refuse rather than send a half-written image. Both lock families are checked. The
// probe is a shared lock, which only a writer's exclusive lock refuses: a line runs one flasher
// per port on the same image, and readers never refuse each other.
bool LockedByAnotherProcess(int fd) {
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK;
    }
    struct flock probe {};
    probe.l_type = F_RDLCK; // conflicts only with a write lock held elsewhere
    probe.l_whence = SEEK_SET;
    if (::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
        return true;
    }
    return false;
}

} // namespace

LoadResult RefusedLoad(const QByteArray& path, const QString& reason) {
    return {false, QStringLiteral("Cannot load \"%1\": %2").arg(VisibleText(path), reason)};
}

int OpenImageFile(const QByteArray& path, QString& reason) {
    // O_NONBLOCK keeps a FIFO or a device from stalling the open; such files are refused below.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        reason = ReasonFromErrno(errno) + QStringLiteral(".");
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        reason = ReasonFromErrno(errno) + QStringLiteral(".");
    } else if (S_ISDIR(info.st_mode)) {
        reason = QStringLiteral("it is a folder, not a file.");
    } else if (!S_ISREG(info.st_mode)) {
        reason = QStringLiteral("it is not a regular file (a device, pipe or socket).");
    } else if (LockedByAnotherProcess(fd)) {
        reason = QStringLiteral("another program has locked the file. Close it there and select "
                                "the file again.");
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

LoadResult ImageStore::LoadImageFile(const QString& path) {
    return LoadImageFile(NativePathOf(path));
}

ImageFileBytes ReadImageFile(const QByteArray& path, qint64 limit) {
    ImageFileBytes file;
    const int fd = OpenImageFile(path, file.reason);
    if (fd < 0) {
        return file;
    }
    FdCloser closer{fd};
    struct stat info {};
    ::fstat(fd, &info); // it has told a regular file already
    file.sizeOnDisk = info.st_size;
    // To the end of the file, not to the size the system reports: files in /proc and /sys
    // report none, and a file may shrink or grow while it is read. A file that says it is too
    // large is read only as far as its beginning tells what kind of file it is.
    const qint64 readTo = info.st_size > limit ? 4096 : limit + 1;
    char chunk[64 * 1024];
    while (file.bytes.size() < readTo) {
        const ssize_t n =
            ::read(fd, chunk,
                   std::min<std::size_t>(sizeof chunk, std::size_t(readTo - file.bytes.size())));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            file.bytes.clear();
            file.reason = QStringLiteral("reading failed: %1.").arg(ReasonFromErrno(errno));
            return file;
        }
        if (n == 0) {
            break;
        }
        file.bytes.append(chunk, n);
    }
    file.tooLarge = info.st_size > limit || file.bytes.size() > limit;
    return file;
}

LoadResult ImageStore::LoadRawFile(const QByteArray& path, const ImageFileBytes& file) {
    if (!file.reason.isEmpty()) {
        return RefusedLoad(path, file.reason);
    }
    if (file.tooLarge || file.bytes.size() > kMaxImageBytes) {
        const QString size =
            file.sizeOnDisk > kMaxImageBytes
                ? WithThousands(file.sizeOnDisk)
                : QStringLiteral("more than %1").arg(WithThousands(kMaxImageBytes));
        return RefusedLoad(path, QStringLiteral("the file is %1 bytes; the largest image that "
                                                "fits is %2 bytes (236 blocks of 1024 bytes, "
                                                "less one byte).")
                                     .arg(size, WithThousands(kMaxImageBytes)));
    }
    LoadImageBytes(file.bytes);
    return {true, {}, file.bytes.size()};
}

LoadResult ImageStore::LoadImageFile(const QByteArray& path) {
    return LoadRawFile(path, ReadImageFile(path, kMaxImageBytes));
}

void ImageStore::StoreBytes(const std::uint8_t* source, qint64 size) {
    const auto lastBlock = static_cast<std::uint8_t>(size >> 10);
    m_lastBlock = lastBlock;
    qint64 remaining = size;
    for (int b = 0; b <= lastBlock; ++b) {
        Row& row = m_image.at(static_cast<std::size_t>(b + kBlockNumberOffset));
        if (remaining > kBlockSize) {
            std::copy_n(source, kBlockSize, row.begin());
            source += kBlockSize;
            remaining -= kBlockSize;
        } else {
            std::copy_n(source, remaining, row.begin());
            std::fill(row.begin() + remaining, row.end(), std::uint8_t{0xFF});
            remaining = 0;
        }
    }
    m_imageReady = 1;
}

bool ImageStore::LoadImageBytes(QByteArrayView bytes) {
    if (bytes.size() > kMaxImageBytes) {
        return false;
    }
    StoreBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

BlockView ImageStore::Block(std::uint8_t blockIndex) const {
    // The engine never asks beyond block 235; the modulo keeps a stray index inside the table.
    return BlockView(m_image.at((blockIndex + kBlockNumberOffset) % kRows));
}
