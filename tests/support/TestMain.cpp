// SPDX-License-Identifier: GPL-3.0-or-later
// Test entry for the programs without widgets: the serial control needs an event loop.
#include "serial/NetworkLibrary.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // The programs the tests start keep their records in a folder of the test's, never in the
    // user's own data folder.
    const QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    QCoreApplication app(argc, argv);
    NetworkLibrary network;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
