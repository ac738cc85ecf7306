// SPDX-License-Identifier: GPL-3.0-or-later
// Per-board fields stamped into a board's copy of the image: byte-exact where they go, and every
// recipe that would write where it must not refused before any board.
#include "update/StampRecipe.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

QByteArray Blank(int size) {
    return QByteArray(size, '\xff');
}

TEST(StampRecipe, RefusesWhatDoesNotFitTheImage) {
    struct Case {
        const char* recipe;
        QByteArray image;
        const char* said; // empty: taken
    };
    QByteArray code = Blank(64);
    code[10] = '\x12';
    for (const Case& c : {
             Case{"serial@0:u32le;mac@4;text@10:8=SN{serial};crc32@60=0..59", Blank(64), ""},
             Case{"serial@8:u32le:over", code, ""},
             Case{"", Blank(64), "names no field"},
             Case{"serial@0", Blank(64), "the format is u32le"},
             Case{"serial@0:dec:0", Blank(64), "the format is u32le"},
             Case{"serial@0:u16le", Blank(64), "the format is u32le"},
             Case{"mac@0:u32le", Blank(64), "takes no format"},
             Case{"text@0:8={board}", Blank(64), "{board} is no value"},
             Case{"text@0=SN", Blank(64), "give text@OFFSET:N=TEXT"},
             Case{"crc32@0=9..3", Blank(64), "FROM not after TO"},
             Case{"fuse@0", Blank(64), "is no field"},
             Case{"serial@62:u32le", Blank(64), "falls outside the image of 64 bytes"},
             Case{"serial@0:u32le;mac@2", Blank(64), "cover the same bytes"},
             Case{"serial@8:u32le", code, "which is not blank"},
             Case{"crc32@0=4..64", Blank(64), "outside the image"},
             Case{"crc32@8=0..9", Blank(64), "sums its own bytes"},
             Case{"crc32@8=0..7;crc32@0=16..31", Blank(64), "sums the bytes of crc32@0x0"},
             Case{"serial@0x7FFFFFFFFFFFFFFE:u32le", Blank(64), "the offset is too large"},
             Case{"serial@0xFFFFFFFF:u32le", Blank(64), "falls outside the image"},
         }) {
        SCOPED_TRACE(c.recipe);
        const auto recipe = ParseStampRecipe(QString::fromLatin1(c.recipe));
        const ConfigDone fits = recipe ? CheckStampRecipe(*recipe, c.image) : ConfigDone{};
        const QString said = !recipe ? recipe.error().text : fits ? QString() : fits.error().text;
        if (*c.said == '\0') {
            EXPECT_TRUE(said.isEmpty()) << said.toStdString();
        } else {
            EXPECT_TRUE(said.contains(QLatin1String(c.said))) << said.toStdString();
        }
    }
}

TEST(StampRecipe, WritesEachFieldByteExact) {
    const auto recipe = ParseStampRecipe(
        "serial@0:u32le; serial@4:u32be; serial@8:u64le; serial@16:dec:6; serial@24:hex:4; "
        "mac@32; text@40:12=SN{serial}-{station}; crc32@60=0..59");
    ASSERT_TRUE(recipe) << recipe.error().text.toStdString();
    ASSERT_TRUE(CheckStampRecipe(*recipe, Blank(64)));
    const auto stamped =
        StampImage(*recipe, Blank(64), {0x2A, 0x021234000005, QStringLiteral("st1"), {}});
    ASSERT_TRUE(stamped) << stamped.error().text.toStdString();
    QByteArray expected = Blank(64);
    expected.replace(0, 4, QByteArray::fromHex("2a000000"));
    expected.replace(4, 4, QByteArray::fromHex("0000002a"));
    expected.replace(8, 8, QByteArray::fromHex("2a00000000000000"));
    expected.replace(16, 6, "000042");
    expected.replace(24, 4, "002A");
    expected.replace(32, 6, QByteArray::fromHex("021234000005"));
    expected.replace(40, 12, QByteArray("SN42-st1\0\0\0\0", 12));
    const quint32 crc = Crc32(expected.constData(), 60);
    for (int i = 0; i < 4; ++i) { // little-endian
        expected[60 + i] = char((crc >> (8 * i)) & 0xff);
    }
    EXPECT_EQ(stamped->toHex(), expected.toHex());
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u) << "the CRC-32 of zlib and Ethernet";
}

TEST(StampRecipe, RefusesAValueThatDoesNotFitItsField) {
    for (const char* text : {"serial@0:u32le", "serial@0:dec:2", "text@0:4=SN{serial}"}) {
        SCOPED_TRACE(text);
        const auto recipe = ParseStampRecipe(QString::fromLatin1(text));
        ASSERT_TRUE(recipe);
        const auto stamped = StampImage(*recipe, Blank(16), {0x100000000ull, 0, {}, {}});
        ASSERT_FALSE(stamped);
        EXPECT_TRUE(stamped.error().text.contains("does not fit") ||
                    stamped.error().text.contains("is longer than"))
            << stamped.error().text.toStdString();
    }
}

// Where the number goes decides whether a failed board spoiled it, and --expect matches that
// number alone.
TEST(StampRecipe, KnowsWhereTheNumberGoesAndMatchesItAlone) {
    const auto recipe = ParseStampRecipe(
        "crc32@0x400=0..0x3ff;text@0x500:24=v1 {mac};serial@0x800:u32le;mac@0xc00");
    ASSERT_TRUE(recipe);
    EXPECT_EQ(recipe->FirstBlockHolding(StampField::Kind::Serial), 2)
        << "the CRC and the text hold no number";
    EXPECT_EQ(recipe->FirstBlockHolding(StampField::Kind::Mac), 1) << "the text holds the MAC";
    const QRegularExpression expect(ExpectWithSerial(QStringLiteral("SN=\\s*{serial}\\r?$"), 1));
    for (const auto& [said, matches] : {std::pair{"SN=1", true}, std::pair{"SN=15", false},
                                        std::pair{"SN= 1\r", true}, std::pair{"SN=21", false}}) {
        EXPECT_EQ(expect.match(QString::fromLatin1(said)).hasMatch(), matches) << said;
    }
}

} // namespace

// A MAC address's text and its 48 bits, both ways; anything else is no address.
TEST(StampRecipe, ReadsAndWritesMacAddresses) {
    EXPECT_EQ(MacText(0x021234abcdefull), QStringLiteral("02:12:34:AB:CD:EF"));
    EXPECT_EQ(ParseMac(QStringLiteral("02:12:34:ab:CD:ef")), 0x021234abcdefull);
    for (const char* bad :
         {"02:12:34:00:00", "02:12:34:00:00:0g", "02-12-34-00-00-00", "002:12:34:00:00:00", ""}) {
        EXPECT_FALSE(ParseMac(QString::fromLatin1(bad))) << bad;
    }
}
