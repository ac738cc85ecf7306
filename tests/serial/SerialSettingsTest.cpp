// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/SerialSettings.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

struct SettingsCase {
    const char* text;
    bool valid;
    qint32 baud;
    QSerialPort::Parity parity;
    QSerialPort::DataBits data;
    QSerialPort::StopBits stop;
};

class SettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsTest, Parses) {
    const SettingsCase& c = GetParam();
    const auto parsed = ParseSerialSettings(QString::fromLatin1(c.text));
    ASSERT_EQ(parsed.has_value(), c.valid) << c.text;
    if (c.valid) {
        EXPECT_EQ(parsed->baud, c.baud);
        EXPECT_EQ(parsed->parity, c.parity);
        EXPECT_EQ(parsed->dataBits, c.data);
        EXPECT_EQ(parsed->stopBits, c.stop);
    }
}

constexpr auto N = QSerialPort::NoParity;
constexpr auto D8 = QSerialPort::Data8;
constexpr auto S1 = QSerialPort::OneStop;

INSTANTIATE_TEST_SUITE_P(
    Strings, SettingsTest,
    ::testing::Values(SettingsCase{"115200,n,8,1", true, 115200, N, D8, S1},
                      SettingsCase{"9600,n,8,1", true, 9600, N, D8, S1},
                      SettingsCase{"43000,n,8,1", true, 43000, N, D8, S1},
                      SettingsCase{"56000,N,8,1", true, 56000, N, D8, S1},
                      SettingsCase{"300,e,7,2", true, 300, QSerialPort::EvenParity,
                                   QSerialPort::Data7, QSerialPort::TwoStop},
                      SettingsCase{"1200,o,5,1.5", true, 1200, QSerialPort::OddParity,
                                   QSerialPort::Data5, QSerialPort::OneAndHalfStop},
                      SettingsCase{"2400,m,6,1", true, 2400, QSerialPort::MarkParity,
                                   QSerialPort::Data6, S1},
                      SettingsCase{"4800,s,8,1", true, 4800, QSerialPort::SpaceParity, D8, S1},
                      SettingsCase{"", false, 0, N, D8, S1},
                      SettingsCase{",n,8,1", false, 0, N, D8, S1},
                      SettingsCase{"0,n,8,1", false, 0, N, D8, S1},
                      SettingsCase{"-9600,n,8,1", false, 0, N, D8, S1},
                      SettingsCase{"fast,n,8,1", false, 0, N, D8, S1},
                      SettingsCase{"9600,x,8,1", false, 0, N, D8, S1},
                      SettingsCase{"9600,n,9,1", false, 0, N, D8, S1},
                      SettingsCase{"9600,n,4,1", false, 0, N, D8, S1},
                      SettingsCase{"9600,n,8,3", false, 0, N, D8, S1},
                      SettingsCase{"9600,n,8", false, 0, N, D8, S1},
                      SettingsCase{"9600,n,8,1,1", false, 0, N, D8, S1}));

} // namespace
