// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The station's pass and fail sounds, from the desktop's own sound theme through libcanberra
// ("complete" and "dialog-error"), so that an operator hears a board end without looking. On by
// default; muted, nothing plays. Where the machine has no sound, nothing is heard and nothing
// fails.

#include <QStringList>

struct ca_context;

class Sounds {
  public:
    enum class Event { Passed, Failed };
    Sounds();
    ~Sounds();
    Sounds(const Sounds&) = delete;
    Sounds& operator=(const Sounds&) = delete;

    void SetMuted(bool muted) { m_muted = muted; }
    bool Muted() const { return m_muted; }
    void Play(Event event);
    // The theme's sounds asked for so far, by name: what an operator would have heard.
    const QStringList& Asked() const { return m_asked; }

  private:
    ca_context* m_context = nullptr;
    bool m_muted = false;
    QStringList m_asked;
};
