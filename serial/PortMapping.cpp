// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortMapping.h"

#include <QFile>
#include <climits>
#include <cstdlib>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsUsbName(const QString& name) {
    return name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"));
}

QString Ordinal(int n) {
    const int lastTwo = n % 100;
    const char* suffix = "th";
    if (lastTwo < 11 || lastTwo > 13) {
        suffix = (n % 10 == 1) ? "st" : (n % 10 == 2) ? "nd" : (n % 10 == 3) ? "rd" : "th";
    }
    return QString::number(n) + QLatin1String(suffix);
}

} // namespace

// Done by hand: the system's collation ignores numeric order in the C locale.
bool NameLess(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const qsizetype startA = i;
            const qsizetype startB = j;
            while (i < a.size() && a[i].isDigit()) {
                ++i;
            }
            while (j < b.size() && b[j].isDigit()) {
                ++j;
            }
            const qulonglong numberA = a.mid(startA, i - startA).toULongLong();
            const qulonglong numberB = b.mid(startB, j - startB).toULongLong();
            if (numberA != numberB) {
                return numberA < numberB;
            }
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

QList<SerialPortEntry> SystemSerialPorts() {
    QList<SerialPortEntry> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialPortEntry entry;
        entry.device = info.systemLocation();
        entry.description = info.description();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            entry.vendorId =
                QStringLiteral("%1").arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'));
            entry.productId =
                QStringLiteral("%1").arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
            entry.usbIds = entry.vendorId + QLatin1Char(':') + entry.productId;
        }
        entry.serialNumber = info.serialNumber();
        entry.manufacturer = info.manufacturer();
        entry.usb = IsUsbName(info.portName());
        ports.append(entry);
    }
    // The names that stay when the device comes back as another node.
    for (const char* folder : {"/dev/serial/by-id", "/dev/serial/by-path"}) {
        const QDir links(QString::fromLatin1(folder));
        for (const QFileInfo& link : links.entryInfoList(QDir::System | QDir::Files)) {
            const QString target = link.canonicalFilePath();
            for (SerialPortEntry& entry : ports) {
                if (entry.device == target) {
                    entry.stableNames << link.absoluteFilePath();
                }
            }
        }
    }
    SortInComOrder(ports);
    return ports;
}

QSet<QString> DevicesOpenNow() {
    QSet<QString> open;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (pid == self || pid.toInt() <= 0) {
            continue;
        }
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString& fd :
             fds.entryList(QDir::System | QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString target = QFile::symLinkTarget(fds.filePath(fd));
            if (target.startsWith(QLatin1String("/dev/"))) {
                open << target;
            }
        }
    }
    return open;
}

namespace {

// The pseudo-terminal number a master descriptor serves ("tty-index" in its fdinfo), or -1.
int PtyIndexOf(const QString& pid, const QString& fd) {
    QFile info(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid, fd));
    if (!info.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : info.readAll().split('\n')) {
        if (line.startsWith("tty-index:")) {
            return line.mid(10).trimmed().toInt();
        }
    }
    return -1;
}

} // namespace

std::optional<DeviceHolder> OtherProgramHolding(const QString& device) {
    struct stat wanted {};
    if (::stat(QFile::encodeName(device).constData(), &wanted) != 0 || !S_ISCHR(wanted.st_mode)) {
        return std::nullopt;
    }
    // A descriptor's link names the node it was opened by, links resolved: compared as text,
    // one readlink a descriptor, on every process's descriptors in one pass.
    const QByteArray canonical = QFile::encodeName(QFileInfo(device).canonicalFilePath());
    const bool pty = canonical.startsWith("/dev/pts/");
    const int ptyIndex = pty ? canonical.mid(9).toInt() : -1;
    const long self = static_cast<long>(::getpid());
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return std::nullopt;
    }
    std::optional<DeviceHolder> holder;
    while (const dirent* process = ::readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self) {
            continue;
        }
        const QByteArray fdFolder = QByteArray("/proc/") + process->d_name + "/fd";
        DIR* fds = ::opendir(fdFolder.constData());
        if (fds == nullptr) {
            continue;
        }
        bool holds = false;
        bool ptyEnd = false; // holds the master too: the device's own side
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.') {
                continue;
            }
            char target[PATH_MAX];
            const QByteArray link = fdFolder + '/' + fd->d_name;
            const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
            if (length <= 0) {
                continue;
            }
            const QByteArray named(target, length);
            if (named == canonical) {
                holds = true;
            } else if (pty && named.endsWith("ptmx") &&
                       PtyIndexOf(QString::number(pid), QString::fromLatin1(fd->d_name)) ==
                           ptyIndex) {
                ptyEnd = true;
            }
        }
        ::closedir(fds);
        if (holds && !ptyEnd) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            holder = DeviceHolder{pid, comm.open(QIODevice::ReadOnly)
                                           ? QString::fromUtf8(comm.readAll()).trimmed()
                                           : QString()};
            break;
        }
    }
    ::closedir(processes);
    return holder;
}

void SortInComOrder(QList<SerialPortEntry>& ports) {
    std::stable_sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
        if (a.usb != b.usb) {
            return a.usb;
        }
        return NameLess(QFileInfo(a.device).fileName(), QFileInfo(b.device).fileName());
    });
}

ComPortMapping MapComPort(int number, const QList<SerialPortEntry>& systemPorts) {
    ComPortMapping mapping;
#ifdef Q_OS_WIN
    Q_UNUSED(systemPorts);
    mapping.device = QStringLiteral("COM%1").arg(number);
    mapping.source = mapping.device;
    return mapping;
#else
    const QString variable = QStringLiteral("TAVREL_COM%1").arg(number);
    const QString fromEnvironment = qEnvironmentVariable(variable.toLatin1().constData());
    if (!fromEnvironment.isEmpty()) {
        mapping.device = fromEnvironment;
        mapping.source = variable;
        return mapping;
    }
    mapping.source = QStringLiteral("%1 serial port").arg(Ordinal(number));
    if (number >= 1 && number <= systemPorts.size()) {
        const SerialPortEntry& entry = systemPorts[number - 1];
        mapping.device = entry.device;
        mapping.description = entry.description;
    }
    return mapping;
#endif
}

ComPortMapping MapComPort(int number) {
#ifdef Q_OS_WIN
    return MapComPort(number, {});
#else
    const QString variable = QStringLiteral("TAVREL_COM%1").arg(number);
    if (qEnvironmentVariableIsSet(variable.toLatin1().constData())) {
        return MapComPort(number, {});
    }
    return MapComPort(number, SystemSerialPorts());
#endif
}

QString DescribeMapping(int number, const ComPortMapping& mapping) {
    if (mapping.device.isEmpty()) {
        return QStringLiteral("com %1: no device (the system has no %2; set TAVREL_COM%1 to "
                              "name one)")
            .arg(number)
            .arg(mapping.source);
    }
    QString text = QStringLiteral("com %1: %2").arg(number).arg(mapping.device);
    if (!mapping.description.isEmpty()) {
        text += QStringLiteral(" (%1)").arg(mapping.description);
    }
    text += QStringLiteral(" [%1]").arg(mapping.source);
    return text;
}

std::optional<int> ParseComName(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("^com\\s*([0-9]{1,5})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(name.trimmed());
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const int number = match.captured(1).toInt();
    return number >= 1 && number <= 32767 ? std::optional<int>(number) : std::nullopt;
}

QString PortNameFromBytes(const QByteArray& name) {
    const QString text = QFile::decodeName(name);
    if (QFile::encodeName(text) == name) {
        return text;
    }
    char resolved[PATH_MAX];
    if (::realpath(name.constData(), resolved) != nullptr) {
        const QString device = QFile::decodeName(resolved);
        if (QFile::encodeName(device) == QByteArray(resolved)) {
            return device;
        }
    }
    return text; // leads nowhere: it is reported as missing
}
