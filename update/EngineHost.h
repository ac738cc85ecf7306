// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Everything the transfer engine needs from the world around it. The window implements it
// with the serial control and its widgets; the command-line flasher with a port and a
// terminal; the unit tests with a recorder.

#include <QByteArray>
#include <QString>

class EngineHost {
  public:
    virtual ~EngineHost() = default;
    // Hands the whole packet to the port before returning; throws when it cannot (the window's
    // serial control throws CommError).
    virtual void WritePacket(const QByteArray& packet) = 0;
    virtual void SetProgress(int position) = 0;
    // Blocks the calling thread; bytes arriving meanwhile wait in the port's buffer.
    virtual void Wait(int milliseconds) = 0;
    // A modal message; returns once the operator has closed it.
    virtual void ShowMessage(const QString& text) = 0;
    // The save-direction data exchange of the window; its result is not used.
    virtual void SaveData() = 0;
    virtual void SetWriteCaption(const QString& caption) = 0;
};
