// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/station/PortTile.h"

#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace {

// Long names and paths may wrap after a separator, so that a narrow tile shows them whole.
QString Breakable(const QString& text) {
    QString out;
    for (const QChar c : text) {
        out += c;
        if (c == QLatin1Char('/') || c == QLatin1Char('_') || c == QLatin1Char('-')) {
            out += QChar(0x200B); // a zero-width space: a place to break, nothing shown
        }
    }
    return out;
}

QColor StateColour(station::PortState state) {
    switch (state) {
    case station::PortState::Waiting:
        return QColor(0x75, 0x75, 0x75);
    case station::PortState::Flashing:
        return QColor(0x15, 0x65, 0xc0);
    case station::PortState::Passed:
        return QColor(0x2e, 0x7d, 0x32);
    case station::PortState::Failed:
        break;
    }
    return QColor(0xc6, 0x28, 0x28);
}

} // namespace

QString PortTile::ShortName(const QString& port) {
    // A port on a serial server keeps its scheme: rfc2217:// and socket:// are not the same.
    return port.contains(QLatin1String("://")) ? port : QFileInfo(port).fileName();
}

PortTile::PortTile(const QString& port, QWidget* parent) : QFrame(parent), m_port(port) {
    setObjectName(port);
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    // Wide enough for a short name and a reason line, in the font's own units, so that the tile
    // grows with the font and the screen's scaling.
    setMinimumWidth(fontMetrics().averageCharWidth() * 34);
    auto* layout = new QVBoxLayout(this);
    m_word = new QLabel(this);
    m_word->setAlignment(Qt::AlignCenter);
    QFont large = m_word->font();
    large.setPointSizeF(large.pointSizeF() * 2.2);
    large.setBold(true);
    m_word->setFont(large);
    // The short name: what a by-id path ends with, or ttyUSB0; the whole path in the tooltip.
    m_device = new QLabel(ShortName(port), this);
    m_device->setTextFormat(Qt::PlainText);
    m_device->setWordWrap(true);
    m_device->setToolTip(port);
    QFont bold = m_device->font();
    bold.setBold(true);
    m_device->setFont(bold);
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 1);
    m_bar->setValue(0);
    m_bar->setTextVisible(false);
    m_stateLabel = new QLabel(this);
    m_stateLabel->setTextFormat(Qt::PlainText);
    m_stateLabel->setWordWrap(true); // a reason is shown whole, never clipped
    m_time = new QLabel(this);
    m_time->setTextFormat(Qt::PlainText);
    layout->addWidget(m_word);
    layout->addWidget(m_device);
    layout->addWidget(m_bar);
    layout->addWidget(m_stateLabel);
    layout->addWidget(m_time);
    layout->addStretch(1);
    station::PortStatus waiting;
    waiting.port = port;
    Show(waiting);
}

void PortTile::SetSerialNumber(const QString& serial) {
    m_serial = serial;
    SetSlot(m_slot);
}

void PortTile::SetSlot(const QString& label) {
    m_slot = label;
    const QString name = label.isEmpty() ? ShortName(m_port) : label;
    m_device->setText(
        Breakable(m_serial.isEmpty() ? name : QStringLiteral("%1\nserial %2").arg(name, m_serial)));
}

void PortTile::Note(const QString& text) {
    m_note = text;
    Show(m_shown);
}

QString PortTile::StateText() const {
    return m_stateLabel->text().remove(QChar(0x200B));
}

QString PortTile::Word() const {
    return m_word->text();
}

void PortTile::Acknowledge() {
    m_acknowledged = true;
    Show(m_shown);
}

void PortTile::MarkUnplugged() {
    m_unplugged = true;
    Show(m_shown);
}

void PortTile::mousePressEvent(QMouseEvent* event) {
    QFrame::mousePressEvent(event);
    Q_EMIT Clicked(this);
}

void PortTile::Show(const station::PortStatus& status) {
    if (status.state == station::PortState::Flashing && m_shown.state != status.state) {
        m_acknowledged = false; // a new update: its end is seen afresh
    }
    m_shown = status;
    if (status.state != station::PortState::Passed) {
        m_note.clear();
    }
    m_bar->setRange(0, std::max(1, status.blocks));
    m_bar->setValue(status.state == station::PortState::Waiting ? 0 : status.blocksSent);
    QString text = station::StateName(status.state);
    if (status.state == station::PortState::Flashing && status.attempt > 1) {
        text += QStringLiteral(" (attempt %1)").arg(status.attempt);
    }
    if (status.state == station::PortState::Failed) {
        text += QStringLiteral(": ") + (status.ending.failure == station::Failure::Stopped
                                            ? QStringLiteral("stopped")
                                            : status.reason);
        m_stateLabel->setToolTip(status.reason);
    }
    if (!status.boardSerial.isEmpty()) {
        text += QStringLiteral("\nSN %1").arg(status.boardSerial);
    }
    if (!status.boardMac.isEmpty()) {
        text += QStringLiteral("\nMAC %1").arg(status.boardMac);
    }
    if (!m_note.isEmpty()) {
        text += QLatin1Char('\n') + m_note;
    }
    if (m_unplugged) {
        text += QStringLiteral("\n(unplugged)");
    }
    if (AwaitsAcknowledgement()) {
        text += QStringLiteral("\nClick to acknowledge.");
    }
    m_stateLabel->setText(Breakable(text));
    static const char* const kWords[] = {"WAITING", "FLASHING", "PASS", "FAIL"};
    m_word->setText(QLatin1String(kWords[static_cast<int>(status.state)]));
    // The whole face in the state's colour, the text white on it; the bar the same colour.
    const QColor colour = StateColour(status.state);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, status.state == station::PortState::Waiting
                                           ? palette.color(QPalette::Window)
                                           : colour.lighter(170));
    palette.setColor(QPalette::WindowText, status.state == station::PortState::Waiting
                                               ? palette.color(QPalette::WindowText)
                                               : colour.darker(160));
    setPalette(palette);
    m_bar->setStyleSheet(
        QStringLiteral("QProgressBar::chunk { background: %1; }").arg(colour.name()));
    const bool ended =
        status.state == station::PortState::Passed || status.state == station::PortState::Failed;
    m_time->setText(ended ? QStringLiteral("last update %1 s").arg(status.seconds, 0, 'f', 1)
                          : QString());
}
