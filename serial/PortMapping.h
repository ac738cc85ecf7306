// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which device "com N" stands for. On Windows com N is COMN. Elsewhere the environment
// variable TAVREL_COM<N> names the device and wins; otherwise com N is the N-th serial port of
// the system: USB adapters first (ttyUSB*, ttyACM*), then the others, each group by name.
// Ports are listed from the system's device information only, never by opening them: opening a
// port toggles its modem lines, and some boards reset on that.

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

struct SerialPortEntry {
    QString device;      // full path, e.g. /dev/ttyUSB0
    QString description; // what the system says of it, may be empty
    QString usbIds;      // "0403:6001" where known
    bool usb = false;
    QString vendorId;  // "0403", where known
    QString productId; // "6001"
    QString serialNumber;
    QString manufacturer;
    QStringList stableNames; // /dev/serial/by-id/... and by-path/... that lead to it
};

// The system's serial ports in com order.
QList<SerialPortEntry> SystemSerialPorts();
// The devices some program has open now (any process's descriptors that this user may see).
QSet<QString> DevicesOpenNow();
// Another program that has `device` open now, found through /proc: as root the kernel's exclusive
// open stops nobody, so a port that a terminal, stm32flash or avrdude holds would otherwise be
// shared mid-update. The other end of a pseudo-terminal (the process holding its master) is the
// device itself, not a rival. Nothing when no other program holds it, or none this user may see.
struct DeviceHolder {
    qint64 pid = 0;
    QString program;
};
std::optional<DeviceHolder> OtherProgramHolding(const QString& device);

// Names in order, numbers compared as numbers: ttyUSB2 before ttyUSB10, Slot 2 before Slot 10.
bool NameLess(const QString& a, const QString& b);
// USB adapters (ttyUSB*, ttyACM*) first, then the others; each group by name, numbers as numbers.
void SortInComOrder(QList<SerialPortEntry>& ports);

struct ComPortMapping {
    QString device; // empty when com N stands for no device
    QString source; // how it was found, for the operator: "TAVREL_COM3", "3rd serial port"
    QString description;
};

ComPortMapping MapComPort(int number, const QList<SerialPortEntry>& systemPorts);
ComPortMapping MapComPort(int number);

// "/dev/ttyUSB0 (FT232R USB UART)" style text for tooltips and listings.
QString DescribeMapping(int number, const ComPortMapping& mapping);

// A port's name as the system gives it (a command line's bytes, a folder's entry). A name that is
// not valid text stands as the device it leads to, so that it still opens exactly that device.
QString PortNameFromBytes(const QByteArray& name);

// "com3", "COM 3", "com 3" give 3 (any number from 1 that a port number can hold); anything
// else nothing.
std::optional<int> ParseComName(const QString& name);
