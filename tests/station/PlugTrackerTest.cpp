// SPDX-License-Identifier: GPL-3.0-or-later
// New boards and boards that restart, look by look, on a clock of the test's own.
#include "station/PlugTracker.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// One look at one port: when, whether it is there (and with which USB serial number), whether
// an update runs on it, whether its board passes right after the look, and the USB product id.
struct Look {
    qint64 atMs;
    bool present;
    const char* serialNumber = "";
    bool busy = false;
    bool passes = false;
    const char* productId = "";
    const char* device = "188:0"; // the device node the name leads to
};
struct PlugCase {
    const char* name;
    std::vector<Look> looks;
    std::string expected; // per look: A arrived, G gone, R restarted, - nothing
};

class Plugs : public ::testing::TestWithParam<PlugCase> {};

TEST_P(Plugs, EachBoardIsFlashedOnceAndARestartIsNoNewBoard) {
    const PlugCase& c = GetParam();
    qint64 now = 0;
    station::PlugTracker tracker([&] { return now; });
    const QString port = QStringLiteral("/dev/serial/by-id/board");
    std::string seen;
    for (const Look& look : c.looks) {
        now = look.atMs;
        const auto found = tracker.Update(
            look.present ? QStringList{port} : QStringList{},
            [&](const QString&) { return look.busy; },
            [&](const QString&) {
                return UsbIdentity{QString::fromLatin1(look.serialNumber), QStringLiteral("1209"),
                                   QString::fromLatin1(look.productId)};
            },
            [&](const QString&) { return QString::fromLatin1(look.device); });
        const int said = int(found.arrived.contains(port)) + int(found.gone.contains(port)) +
                         int(found.restarted.contains(port));
        ASSERT_LE(said, 1) << "at " << look.atMs << " ms";
        seen += found.arrived.contains(port)     ? 'A'
                : found.gone.contains(port)      ? 'G'
                : found.restarted.contains(port) ? 'R'
                                                 : '-';
        if (look.passes) {
            tracker.Passed(port);
        }
    }
    EXPECT_EQ(seen, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, Plugs,
    ::testing::Values(
        PlugCase{"StaysFlashedOnce", {{0, true}, {100, true, "", true, true}, {5000, true}}, "A--"},
        PlugCase{"OneMissedLookIsNoUnplug", {{0, true}, {100, false}, {200, true}}, "A--"},
        PlugCase{"UnpluggedAndBackIsANewBoard",
                 {{0, true}, {100, false}, {200, false}, {300, true}},
                 "A-GA"},
        PlugCase{
            "NeverGoneWhileAnUpdateRuns",
            {{0, true}, {100, false, "", true}, {200, false, "", true}, {300, false}, {400, false}},
            "A---G"},
        PlugCase{
            "UnpluggedLongAfterPassingIsGone",
            {{0, true, "", false, true}, {4900, true}, {5000, false}, {5100, false}, {5200, true}},
            "A--GA"},
        PlugCase{"DropRightAfterPassingIsARestart",
                 {{0, true, "", false, true}, {500, false}, {600, false}, {4000, true}},
                 "A--R"},
        PlugCase{"PassedTooLateToSeeTheDropIsStillARestart",
                 {{0, true}, {100, false, "", false, true}, {200, false}, {3000, true}},
                 "A--R"},
        PlugCase{"RestartThatNeverComesBackIsGone",
                 {{0, true, "", false, true}, {500, false}, {10400, false}, {10600, false}},
                 "A--G"},
        PlugCase{"SameSerialNumberIsTheSameBoard",
                 {{0, true, "S1", false, true}, {500, false}, {600, false}, {4000, true, "S1"}},
                 "A--R"},
        PlugCase{"NameRepointedToAnotherDeviceIsANewBoard",
                 {{0, true},
                  {100, true, "", false, false, "", "188:1"},
                  {200, true, "", false, false, "", "188:1"}},
                 "AA-"},
        PlugCase{"OtherSerialNumberIsANewBoard",
                 {{0, true, "S1", false, true}, {500, false}, {600, false}, {4000, true, "S2"}},
                 "A--A"},
        // Only a serial number, or without one the same device node, joins two appearances.
        PlugCase{"OtherSerialNumberIsANewBoardWhateverItsProduct",
                 {{0, true, "S1", false, true, "boot"},
                  {500, false},
                  {600, false},
                  {4000, true, "S2", false, false, "app"}},
                 "A--A"},
        PlugCase{"NameRepointedAfterPassingIsANewBoard",
                 {{0, true, "", false, true},
                  {500, false},
                  {600, false},
                  {4500, true, "", false, false, "", "136:4"}},
                 "A--A"},
        PlugCase{"GoneWhileItsUpdateEndsIsARestart",
                 {{0, true, "", true},
                  {100, false, "", true},
                  {200, false, "", true},
                  {300, false, "", false, true},
                  {1500, true}},
                 "A---R"},
        PlugCase{
            "LastSightNotFirstMissDatesTheDrop",
            {{0, true, "", false, true}, {1900, true}, {2400, false}, {2900, false}, {4000, true}},
            "A---R"},
        PlugCase{"SecondDropAfterARestartIsAnUnplug",
                 {{0, true, "", false, true},
                  {500, false},
                  {900, true},
                  {1000, false},
                  {1100, false},
                  {1200, true}},
                 "A-R-GA"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
