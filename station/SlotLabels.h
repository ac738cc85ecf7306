// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The fixture's own names for its ports: a file of "PORT-OR-GLOB = Label" lines ("Slot 3"), so
// that a tile and a log record say where on the fixture a board sits. The first line that
// matches a port's name wins; '#' starts a comment.

#include "base/ConfigError.h"

#include <QList>
#include <QString>
#include <optional>

class SlotLabels {
  public:
    // The labels in `path`, or why not (the line that could not be read).
    static Result<SlotLabels, ConfigError> Read(const QString& path);
    // The label of `port`, empty where none matches.
    QString Of(const QString& port) const;
    bool IsEmpty() const { return m_rules.isEmpty(); }

  private:
    struct Rule {
        QString pattern;
        QString label;
    };
    QList<Rule> m_rules;
};
