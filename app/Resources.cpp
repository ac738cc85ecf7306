// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Resources.h"

#include "app/CAboutDlg.h"

QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 256}) {
        icon.addFile(QStringLiteral(":/icons/tavrel-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

QIcon StationIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 256}) {
        icon.addFile(QStringLiteral(":/icons/tavrel-station-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

QString AboutMenuText() {
    return QStringLiteral("关于 Tavrel_V1.0(&A)...");
}

void ShowAboutBox(QWidget* owner) {
    CAboutDlg about(owner);
    about.exec(); // centred on its owner; its result is not used
}

ApplicationIdentity TavrelIdentity() {
    return {ApplicationIcon(), AboutMenuText(), &ShowAboutBox};
}
