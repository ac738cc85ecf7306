// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A refusal by the serial control. The description is written for the operator: it says what
// happened and what to do about it.

#include <QString>
#include <stdexcept>

class CommError : public std::runtime_error {
  public:
    enum class Kind {
        NoSuchPort,
        PortInUse,
        PermissionDenied,
        InvalidSettings,
        InvalidValue,
        PortAlreadyOpen,
        PortNotOpen,
        WriteFailed,
        PortLost,
        OpenFailed,
        Interrupted, // the program was asked to stop while a write waited for room
    };

    CommError(Kind kind, const QString& description)
        : std::runtime_error(description.toStdString()), m_kind(kind), m_description(description) {}

    Kind kind() const { return m_kind; }
    const QString& description() const { return m_description; }

  private:
    Kind m_kind;
    QString m_description;
};
