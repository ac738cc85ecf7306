// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the application gives its window: the icon, the text of the about entry in the system
// menu, and the about box. The application supplies them at start-up; the window only shows
// them, so that nothing of the window reaches up into the application.

#include <QIcon>
#include <QString>
#include <functional>

class QWidget;

struct ApplicationIdentity {
    QIcon icon;
    QString aboutMenuText;                      // empty: no about entry
    std::function<void(QWidget*)> showAboutBox; // modal, owned by the given window
};

void SetApplicationIdentity(ApplicationIdentity identity);
const ApplicationIdentity& CurrentApplicationIdentity();
