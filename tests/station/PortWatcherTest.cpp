// SPDX-License-Identifier: GPL-3.0-or-later
// Which ports a watch sees: a board under two names (by-id and by-path) is one port, under the
// name it was first seen by, whichever name comes first.
#include "station/PortWatcher.h"
#include "support/PtyPair.h"
#include "support/TempFiles.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

TEST(PortWatcher, OneBoardUnderTwoNamesIsOnePortUnderItsFirstName) {
    TempFiles files;
    PtyPair board;
    PtyPair other;
    const station::PortWatcher watcher(QFile::encodeName(files.Path("*")));
    ASSERT_TRUE(QFile::link(board.SlavePath(), files.Path("b-by-path")));
    EXPECT_EQ(watcher.Present(), QStringList{files.Path("b-by-path")});
    // A name that sorts first appears later for the same board: nothing changes.
    ASSERT_TRUE(QFile::link(board.SlavePath(), files.Path("a-by-id")));
    ASSERT_TRUE(QFile::link(other.SlavePath(), files.Path("c-other")));
    EXPECT_EQ(watcher.Present(), QStringList({files.Path("b-by-path"), files.Path("c-other")}));
}

} // namespace
