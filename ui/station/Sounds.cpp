// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/station/Sounds.h"

#include <canberra.h>

Sounds::Sounds() {
    if (ca_context_create(&m_context) != CA_SUCCESS) {
        m_context = nullptr;
        return;
    }
    // Through the desktop's sound server only: where there is none, nothing plays and nothing
    // is said (the sound card itself, taken directly, would complain on every board).
    ca_context_set_driver(m_context, "pulse");
    ca_context_change_props(m_context, CA_PROP_APPLICATION_NAME, "Tavrel station",
                            CA_PROP_APPLICATION_ID, "io.github.tavrel.Station", nullptr);
}

Sounds::~Sounds() {
    if (m_context != nullptr) {
        ca_context_destroy(m_context);
    }
}

void Sounds::Play(Event event) {
    if (m_muted) {
        return;
    }
    const char* id = event == Event::Passed ? "complete" : "dialog-error";
    m_asked << QLatin1String(id);
    if (m_context != nullptr) {
        // Played asynchronously by the sound server; no sound device is no error here.
        ca_context_play(m_context, 0, CA_PROP_EVENT_ID, id, CA_PROP_EVENT_DESCRIPTION,
                        event == Event::Passed ? "A board passed" : "A board failed", nullptr);
    }
}
