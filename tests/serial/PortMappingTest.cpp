// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortMapping.h"
#include "serial/PortResolver.h"
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

namespace {

// One resolver for every place that opens a port: com N as mapped, a path as it is, no name for
// the system's only port; a refusal names the port as the user gave it.
struct ResolveCase {
    const char* name;
    QString given;
    int systemPorts;
    const char* device; // nullptr: refused
    const char* said;   // the way it was found, or the refusal's words
};

class Resolve : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(Resolve, NameBecomesTheDeviceOrARefusal) {
    QList<SerialPortEntry> system;
    for (int i = 0; i < GetParam().systemPorts; ++i) {
        system << SerialPortEntry{QStringLiteral("/dev/ttyUSB%1").arg(i), {}, {}, true};
    }
    qunsetenv("TAVREL_COM4");
    const PortLookup lookup = ResolvePort(GetParam().given, system);
    if (GetParam().device == nullptr) {
        ASSERT_FALSE(lookup.port);
        EXPECT_TRUE(lookup.error.contains(GetParam().said)) << lookup.error.toStdString();
    } else {
        ASSERT_TRUE(lookup.port) << lookup.error.toStdString();
        EXPECT_EQ(lookup.port->device, GetParam().device);
        EXPECT_EQ(lookup.port->how, GetParam().said);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, Resolve,
    ::testing::Values(ResolveCase{"ComN", "com 2", 3, "/dev/ttyUSB1", "2nd serial port"},
                      ResolveCase{"ComBeyondTheSystem", "COM4", 3, nullptr,
                                  "No such port: com 4 stands for the 4th serial port"},
                      ResolveCase{"Path", "/dev/serial/by-id/x", 0, "/dev/serial/by-id/x",
                                  "the command line"},
                      ResolveCase{"NoNameOnePort", "", 1, "/dev/ttyUSB0", "the system's only port"},
                      ResolveCase{"NoNameNoPort", "", 0, nullptr, "this system has no serial port"},
                      ResolveCase{"NoNameTwoPorts", "", 2, nullptr,
                                  "this system has 2 serial ports; choose one with --port:\n"
                                  "  /dev/ttyUSB0"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
