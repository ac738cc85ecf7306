// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/station/PortTile.h"

#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace {

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

PortTile::PortTile(const QString& port, QWidget* parent) : QFrame(parent), m_port(port) {
    setObjectName(port);
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    // Wide enough for a by-id path's end and a reason line, in the font's own units, so that
    // the tile grows with the font and the screen's scaling.
    setMinimumWidth(fontMetrics().averageCharWidth() * 36);
    auto* layout = new QVBoxLayout(this);
    m_device = new QLabel(port, this);
    m_device->setTextFormat(Qt::PlainText);
    m_device->setWordWrap(true);
    QFont bold = m_device->font();
    bold.setBold(true);
    m_device->setFont(bold);
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 1);
    m_bar->setValue(0);
    m_stateLabel = new QLabel(this);
    m_stateLabel->setTextFormat(Qt::PlainText);
    m_stateLabel->setWordWrap(true);
    m_time = new QLabel(this);
    m_time->setTextFormat(Qt::PlainText);
    layout->addWidget(m_device);
    layout->addWidget(m_bar);
    layout->addWidget(m_stateLabel);
    layout->addWidget(m_time);
    station::PortStatus waiting;
    waiting.port = port;
    Show(waiting);
}

void PortTile::SetSerialNumber(const QString& serial) {
    m_device->setText(serial.isEmpty() ? m_port
                                       : QStringLiteral("%1\nserial %2").arg(m_port, serial));
}

void PortTile::Note(const QString& text) {
    m_note = text;
    Show(m_shown);
}

QString PortTile::StateText() const {
    return m_stateLabel->text();
}

void PortTile::Show(const station::PortStatus& status) {
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
    }
    if (!m_note.isEmpty()) {
        text += QLatin1Char('\n') + m_note;
    }
    m_stateLabel->setText(text);
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, StateColour(status.state));
    m_stateLabel->setPalette(palette);
    const bool ended =
        status.state == station::PortState::Passed || status.state == station::PortState::Failed;
    m_time->setText(ended ? QStringLiteral("last update %1 s").arg(status.seconds, 0, 'f', 1)
                          : QString());
}
