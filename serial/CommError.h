// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A refusal by the serial control. The description is written for the operator: it says what
// happened and what to do about it.

#include "serial/LineError.h"

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

    // A line's refusal, as the control reports it.
    explicit CommError(const LineError& error) : CommError(KindOf(error.code), error.text) {}

    Kind kind() const { return m_kind; }
    const QString& description() const { return m_description; }

  private:
    static Kind KindOf(LineErrorCode code) {
        switch (code) {
        case LineErrorCode::NoSuchPort:
            return Kind::NoSuchPort;
        case LineErrorCode::PortInUse:
            return Kind::PortInUse;
        case LineErrorCode::PermissionDenied:
            return Kind::PermissionDenied;
        case LineErrorCode::InvalidSettings:
            return Kind::InvalidSettings;
        case LineErrorCode::OpenFailed:
            return Kind::OpenFailed;
        case LineErrorCode::PortNotOpen:
            return Kind::PortNotOpen;
        case LineErrorCode::WriteFailed:
            return Kind::WriteFailed;
        case LineErrorCode::PortLost:
            return Kind::PortLost;
        case LineErrorCode::Interrupted:
            return Kind::Interrupted;
        case LineErrorCode::ModemLineRefused:
            return Kind::InvalidValue;
        }
        return Kind::OpenFailed;
    }

    Kind m_kind;
    QString m_description;
};
