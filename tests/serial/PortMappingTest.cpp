// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortMapping.h"
#include "serial/PortResolver.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

SerialPortEntry Port(const QString& device, const QString& description = {},
                     const QString& vendorId = {}, const QString& productId = {},
                     const QString& serial = {}, const QStringList& stableNames = {}) {
    SerialPortEntry entry;
    entry.device = device;
    entry.description = description;
    entry.vendorId = vendorId;
    entry.productId = productId;
    entry.usbIds = vendorId.isEmpty() ? QString() : vendorId + ':' + productId;
    entry.serialNumber = serial;
    entry.stableNames = stableNames;
    entry.usb = device.contains("USB") || device.contains("ACM");
    return entry;
}

QList<SerialPortEntry> Ports() {
    return {Port("/dev/ttyUSB0", "FT232R USB UART", "0403", "6001"),
            Port("/dev/ttyUSB1", "CP2102", "10c4", "ea60"), Port("/dev/ttyS0")};
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
        ports.append(Port(path));
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
        system << Port(QStringLiteral("/dev/ttyUSB%1").arg(i));
    }
    qunsetenv("TAVREL_COM4");
    const PortLookup lookup = ResolvePort(GetParam().given, system);
    if (GetParam().device == nullptr) {
        ASSERT_FALSE(lookup);
        EXPECT_TRUE(lookup.error().text.contains(GetParam().said))
            << lookup.error().text.toStdString();
    } else {
        ASSERT_TRUE(lookup) << lookup.error().text.toStdString();
        EXPECT_EQ(lookup->device, GetParam().device);
        EXPECT_EQ(lookup->how, GetParam().said);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, Resolve,
    ::testing::Values(
        ResolveCase{"ComN", "com 2", 3, "/dev/ttyUSB1", "2nd serial port"},
        ResolveCase{"ComBeyondTheSystem", "COM4", 3, nullptr,
                    "No such port: com 4 stands for the 4th serial port"},
        ResolveCase{"Path", "/dev/serial/by-id/x", 0, "/dev/serial/by-id/x", "the command line"},
        ResolveCase{"NoNameOnePort", "", 1, "/dev/ttyUSB0", "the one USB serial port"}),
    [](const auto& info) { return std::string(info.param.name); });

// With no port named: the one USB serial port the filters leave, never a built-in UART; none or
// several are refused with the list.
struct DefaultCase {
    const char* name;
    QStringList filters;
    bool uartOnly;      // the system has only its built-in UART
    const char* device; // nullptr: refused
    const char* said;   // the refusal's words
};

class DefaultPort : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultPort, IsTheOneUsbPortTheFiltersLeave) {
    const QList<SerialPortEntry> board{Port("/dev/ttyUSB0", "STM32 Virtual ComPort", "0483", "5740",
                                            "A1", {"/dev/serial/by-id/usb-STMicro_Board_A1-if00"}),
                                       Port("/dev/ttyACM0", "CP2102", "10c4", "ea60", "B2"),
                                       Port("/dev/ttyS0")};
    QList<PortFilter> filters;
    QString error;
    for (const QString& text : GetParam().filters) {
        if (const auto filter = ParsePortFilter(text)) {
            filters << *filter;
        } else {
            error += filter.error().text;
        }
    }
    const PortLookup lookup =
        ChooseDefaultPort(GetParam().uartOnly ? QList{board.last()} : board, filters);
    if (GetParam().device == nullptr) {
        EXPECT_FALSE(lookup);
        EXPECT_TRUE((error + lookup.error().text).contains(GetParam().said))
            << (error + lookup.error().text).toStdString();
    } else {
        ASSERT_TRUE(lookup) << lookup.error().text.toStdString();
        EXPECT_EQ(lookup->device, GetParam().device);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filters, DefaultPort,
    ::testing::Values(
        DefaultCase{"TwoUsbPorts", {}, false, nullptr, "2 USB serial ports; choose one"},
        DefaultCase{"OnlyTheUart", {}, true, nullptr, "no USB serial port; connect the device"},
        DefaultCase{"VendorId", {"vid=483"}, false, "/dev/ttyUSB0", ""},
        DefaultCase{"SerialNumber", {"serial=B2"}, false, "/dev/ttyACM0", ""},
        DefaultCase{"StableName", {"name=*STMicro*"}, false, "/dev/ttyUSB0", ""},
        DefaultCase{"FieldsAreAnded",
                    {"vid=0483,serial=B2"},
                    false,
                    nullptr,
                    "no USB serial port that the filter leaves"},
        DefaultCase{"FiltersAreOred",
                    {"vid=0483", "pid=EA60"},
                    false,
                    nullptr,
                    "2 USB serial ports that the filter leaves"},
        DefaultCase{"UartNamedByFilterIsNotChosen",
                    {"name=ttyS0"},
                    false,
                    nullptr,
                    "no USB serial port that the filter leaves"},
        DefaultCase{"UnknownField", {"colour=red"}, false, nullptr, "unknown field colour"},
        DefaultCase{"BadId", {"vid=stm"}, false, nullptr, "vid needs four hex digits"}),
    [](const auto& info) { return std::string(info.param.name); });

// All ports: every port the filters take, a built-in UART only when a filter's name spells it.
TEST(AllPorts, TakeABuiltInUartOnlyByName) {
    const QList<SerialPortEntry> system{Port("/dev/ttyUSB0", "FT232R", "0403", "6001", "A1"),
                                        Port("/dev/ttyS0"), Port("/dev/ttyS1"),
                                        Port("/dev/ttyAMA0")};
    for (const auto& [filterTexts, taken] :
         {std::pair{QStringList{}, QStringList{"/dev/ttyUSB0"}},
          std::pair{QStringList{"name=*"}, QStringList{"/dev/ttyUSB0"}},
          std::pair{QStringList{"name=ttyS1"}, QStringList{"/dev/ttyS1"}},
          std::pair{QStringList{"name=*", "name=ttyS1"}, QStringList{"/dev/ttyUSB0", "/dev/ttyS1"}},
          std::pair{QStringList{"name=ttyAMA*"}, QStringList{"/dev/ttyAMA0"}},
          std::pair{QStringList{"name=*", "name=ttyS*"},
                    QStringList{"/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyS1"}}}) {
        QList<PortFilter> filters;
        for (const QString& text : filterTexts) {
            filters << *ParsePortFilter(text);
        }
        QStringList devices;
        for (const SerialPortEntry& port : PortsForAll(system, filters)) {
            devices << port.device;
        }
        EXPECT_EQ(devices, taken) << filterTexts.join(' ').toStdString();
    }
}

} // namespace
