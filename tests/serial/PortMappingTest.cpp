// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortMapping.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

QList<SerialPortEntry> Ports() {
    return {{"/dev/ttyUSB0", "FT232R USB UART", "0403:6001", true},
            {"/dev/ttyUSB1", "CP2102", "10c4:ea60", true},
            {"/dev/ttyS0", "", "", false}};
}

TEST(PortMapping, NthSystemPort) {
    qunsetenv("TAVREL_COM2");
    const ComPortMapping mapping = MapComPort(2, Ports());
    EXPECT_EQ(mapping.device, "/dev/ttyUSB1");
    EXPECT_EQ(mapping.source, "2nd serial port");
    EXPECT_EQ(DescribeMapping(2, mapping), "com 2: /dev/ttyUSB1 (CP2102) [2nd serial port]");
}

TEST(PortMapping, EnvironmentWins) {
    qputenv("TAVREL_COM1", "/dev/pts/7");
    const ComPortMapping mapping = MapComPort(1, Ports());
    qunsetenv("TAVREL_COM1");
    EXPECT_EQ(mapping.device, "/dev/pts/7");
    EXPECT_EQ(mapping.source, "TAVREL_COM1");
}

TEST(PortMapping, BeyondTheSystemsPortsIsNoDevice) {
    qunsetenv("TAVREL_COM11");
    const ComPortMapping mapping = MapComPort(11, Ports());
    EXPECT_TRUE(mapping.device.isEmpty());
    EXPECT_EQ(
        DescribeMapping(11, mapping),
        "com 11: no device (the system has no 11th serial port; set TAVREL_COM11 to name one)");
}

TEST(PortMapping, ComOrderPutsUsbAdaptersFirstAndCountsNumbersAsNumbers) {
    QList<SerialPortEntry> ports;
    for (const char* device : {"/dev/ttyS1", "/dev/ttyUSB10", "/dev/ttyAMA0", "/dev/ttyACM0",
                               "/dev/ttyUSB2", "/dev/ttyS0", "/dev/ttyUSB1"}) {
        const QString path = QString::fromLatin1(device);
        ports.append({path, "", "", path.contains("USB") || path.contains("ACM")});
    }
    SortInComOrder(ports);
    QStringList order;
    for (const SerialPortEntry& entry : ports) {
        order << entry.device;
    }
    EXPECT_EQ(order, QStringList({"/dev/ttyACM0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB10",
                                  "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS1"}));
}

} // namespace
