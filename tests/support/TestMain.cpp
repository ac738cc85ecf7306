// SPDX-License-Identifier: GPL-3.0-or-later
// Test entry for the programs without widgets: the serial control needs an event loop.
#include "serial/NetworkLibrary.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    NetworkLibrary network;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
