// SPDX-License-Identifier: GPL-3.0-or-later
// Test entry for the programs that drive real widgets (offscreen in CI).
#include "app/Resources.h"
#include "serial/NetworkLibrary.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The programs the tests start keep their records in a folder of the test's, never in the
    // user's own data folder.
    const QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    QApplication app(argc, argv);
    NetworkLibrary network;
    QCoreApplication::setApplicationName(QStringLiteral("Tavrel_V1.0"));
    SetApplicationIdentity(TavrelIdentity()); // as the application gives it to its window
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
