// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's identity on the desktop: its icon, its one string and its about box.

#include "ui/ApplicationIdentity.h"

#include <QIcon>
#include <QString>

class QWidget;

// Icon group 128: the application icon at every size it ships.
QIcon ApplicationIcon();
// The station window's own icon: the board of many devices.
QIcon StationIcon();
// String 101, the About entry of the window's menu.
QString AboutMenuText();
// Shows the about box modally over `owner`.
void ShowAboutBox(QWidget* owner);
// All of the above that the window shows, as it takes them (SetApplicationIdentity at start-up).
ApplicationIdentity TavrelIdentity();
