// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CTavrel_V10App.h"

#include "app/Resources.h"
#include "app/Version.h"
#include "ui/CTavrel_V10Dlg.h"

#include <QCoreApplication>
#include <QFileInfo>

QString CTavrel_V10App::NameFromExecutable(const QString& executablePath) {
    QString name = QFileInfo(executablePath).fileName();
    // Only a real extension goes: "Tavrel_V1.0" keeps its ".0".
    if (name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)) {
        name.chop(4);
    }
    return name;
}

bool CTavrel_V10App::InitInstance() {
    // The widget classes need no registration and no control hosting here, and nothing is
    // restarted, kept in a shell namespace or stored: the key below only names where settings
    // would go, and nothing is ever written there.
    QCoreApplication::setOrganizationName(kRegistryKey);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(tavrel::kVersion));

    SetApplicationIdentity(TavrelIdentity());
    auto* dlg = new CTavrel_V10Dlg;
    dlg->exec(); // OK, Cancel or failure: the program ends the same way
    delete dlg;
    return false;
}
