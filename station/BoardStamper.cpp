// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/BoardStamper.h"

#include <QDate>

#include <algorithm>

namespace station {

namespace {

// The counters the recipe takes numbers from, with the value each gives.
QList<std::pair<StampField::Kind, StampCounter>> CountersOf(const BoardStamper::Settings& s) {
    QList<std::pair<StampField::Kind, StampCounter>> counters;
    if (s.recipe.Needs(StampField::Kind::Serial)) {
        counters.append({StampField::Kind::Serial, s.serial});
    }
    if (s.recipe.Needs(StampField::Kind::Mac)) {
        counters.append({StampField::Kind::Mac, s.mac});
    }
    return counters;
}

} // namespace

Result<std::shared_ptr<BoardStamper>, QString> BoardStamper::Make(Settings settings) {
    std::shared_ptr<BoardStamper> stamper(new BoardStamper(std::move(settings)));
    const Settings& s = stamper->m_settings;
    if (s.lease > 0) {
        if (!s.records || !s.records->Now().line) {
            return QStringLiteral("--stamp-lease holds numbers of the line's store: give --store "
                                  "postgresql://...");
        }
        s.records->SetLease(s.lease);
    }
    // The largest values must fit their fields, or every board would take a number only to
    // give it back.
    qint64 end = 0;
    for (const StampField& field : s.recipe.fields) {
        end = std::max({end, field.offset + field.size, field.to + 1});
    }
    const auto largest = StampImage(
        s.recipe, QByteArray(int(std::min<qint64>(end, 1 << 24)), '\xff'),
        {quint64(s.serial.last), quint64(s.mac.last), s.station, QStringLiteral("2026-12-31")});
    if (!largest && end <= (1 << 24)) {
        return QStringLiteral("--stamp: the counter's last value does not fit: %1")
            .arg(largest.error().text);
    }
    for (const auto& [kind, counter] : CountersOf(s)) {
        if (counter.name.isEmpty()) {
            return kind == StampField::Kind::Serial
                       ? QStringLiteral("--stamp writes serial numbers: give --stamp-counter "
                                        "NAME=FROM..TO")
                       : QStringLiteral("--stamp writes MAC addresses: give --stamp-mac-pool "
                                        "FIRST..LAST");
        }
        if (!s.records) {
            return QStringLiteral("--stamp needs a records store for its counters");
        }
        if (const records::StoreDone made =
                s.records->DefineCounter(counter.name, counter.first, counter.last);
            !made) {
            return made.error().text;
        }
        // How many are left, for the operator, before the first board; a line server away at
        // start is told of by the first board.
        const Result<qint64, records::StoreError> left = s.records->NumbersLeft(counter.name);
        stamper->m_left.append(Left{counter.name, left ? *left : counter.last - counter.first + 1,
                                    counter.last - counter.first + 1});
    }
    return stamper;
}

QString BoardStamper::Issue(const StampCounter& counter, const QString& what, const QString& port,
                            std::optional<qint64>& value) {
    const auto issued = m_settings.records->IssueSerial(counter.name, port);
    if (!issued) {
        return issued.error().code == records::StoreErrorCode::Unreachable
                   ? QStringLiteral("%1: line server unreachable").arg(what)
                   : QStringLiteral("%1: %2").arg(what, issued.error().text);
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (Left& left : m_left) {
        if (left.counter == counter.name) {
            left.left = *issued ? (*issued)->left : 0;
        }
    }
    if (!*issued) {
        m_spent = true;
        return QStringLiteral("%1: the counter %2 is spent").arg(what, counter.name);
    }
    value = (*issued)->value;
    return {};
}

QString BoardStamper::Stamp(const QString& port, const LoadedImage& image, BoardNumbers& numbers,
                            LoadedImage& stamped) {
    const Settings& s = m_settings;
    QString refused;
    if (s.recipe.Needs(StampField::Kind::Serial)) {
        refused = Issue(s.serial, QStringLiteral("no serial number"), port, numbers.serial);
    }
    if (refused.isEmpty() && s.recipe.Needs(StampField::Kind::Mac)) {
        refused = Issue(s.mac, QStringLiteral("no MAC address"), port, numbers.mac);
    }
    if (refused.isEmpty()) {
        const auto bytes = StampImage(
            s.recipe, ImageBytes(image),
            {numbers.serial ? std::optional<quint64>(quint64(*numbers.serial)) : std::nullopt,
             numbers.mac ? std::optional<quint64>(quint64(*numbers.mac)) : std::nullopt, s.station,
             QDate::currentDate().toString(Qt::ISODate)});
        if (bytes) {
            stamped = WithImageBytes(image, *bytes);
            return {};
        }
        refused = bytes.error().text;
    }
    Return(numbers);
    numbers = {};
    return refused;
}

void BoardStamper::Return(const BoardNumbers& numbers) {
    Settle(numbers, false, 0);
}

void BoardStamper::Settle(const BoardNumbers& numbers, bool passed, int mostBlocksSent) {
    const auto settle = [&](const std::optional<qint64>& value, const StampCounter& counter,
                            StampField::Kind kind) {
        if (!value) {
            return;
        }
        const records::SerialState state =
            passed ? records::SerialState::Used
            : mostBlocksSent > m_settings.recipe.FirstBlockHolding(kind)
                ? records::SerialState::Spoiled
                : records::SerialState::Returned;
        // One that cannot be settled stays issued: never given again.
        (void)m_settings.records->SettleSerial(counter.name, *value, state);
    };
    settle(numbers.serial, m_settings.serial, StampField::Kind::Serial);
    settle(numbers.mac, m_settings.mac, StampField::Kind::Mac);
}

QList<BoardStamper::Left> BoardStamper::NumbersLeft() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_left;
}

QString BoardStamper::LeftText() const {
    QStringList parts;
    for (const Left& left : NumbersLeft()) {
        parts
            << QStringLiteral("%1 left: %2 of %3").arg(left.counter).arg(left.left).arg(left.size);
    }
    return parts.join(QStringLiteral("; "));
}

bool BoardStamper::Low() const {
    for (const Left& left : NumbersLeft()) {
        if (left.Low()) {
            return true;
        }
    }
    return false;
}

} // namespace station
