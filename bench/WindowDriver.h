// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Runs whole updates in the real window (offscreen): open com 1, load an image, Write, and
// close "Updata Successfully!" as an operator would.

#include "ui/CTavrel_V10Dlg.h"

#include <QString>
#include <QTimer>
#include <memory>

namespace bench {

class WindowDriver {
  public:
    WindowDriver();
    ~WindowDriver();
    CTavrel_V10Dlg& Dialog() { return *m_dialog; }
    // Opens `port` as com 1; false when it did not open.
    bool Open(const QString& port);
    // Loads `image`, presses Write and returns when the success message has been closed.
    bool Update(const QString& image, int timeoutMs);

  private:
    std::unique_ptr<CTavrel_V10Dlg> m_dialog;
    QTimer m_closer; // answers every message box with OK
    bool m_succeeded = false;
};

} // namespace bench
