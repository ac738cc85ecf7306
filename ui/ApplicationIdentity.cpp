// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/ApplicationIdentity.h"

namespace {
ApplicationIdentity& Identity() {
    static ApplicationIdentity identity; // set once, on the GUI thread, before a window exists
    return identity;
}
} // namespace

void SetApplicationIdentity(ApplicationIdentity identity) {
    Identity() = std::move(identity);
}

const ApplicationIdentity& CurrentApplicationIdentity() {
    return Identity();
}
