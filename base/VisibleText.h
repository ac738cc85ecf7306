// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Bytes from outside (a device's text, a file name) made safe and readable for a terminal or a
// message: valid UTF-8 is shown as it is, while control characters, escape sequences and bytes
// that are no UTF-8 are shown as \xNN, so that nothing can drive the operator's terminal and
// every byte stays visible.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

QString VisibleText(QByteArrayView bytes);

// The exact bytes of a path that came as text (a file dialog's choice). A name that is not
// valid UTF-8 reaches the program as text with replacement characters; each such part of the
// path is looked up in its folder to find the name it stands for. A path that names nothing
// stays as it was encoded.
QByteArray NativePathOf(const QString& path);
