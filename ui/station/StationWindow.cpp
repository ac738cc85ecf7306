// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/station/StationWindow.h"

#include "ui/ImageFileDialog.h"
#include "ui/station/PortTile.h"
#include "update/ImageFormats.h"
#include "update/VisibleText.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>
#include <csignal>

namespace {
const char* const kRates[] = {"9600",   "19200",  "38400",  "57600",
                              "115200", "230400", "460800", "921600"};
} // namespace

StationWindow::StationWindow(const Options& options, QWidget* parent)
    : QWidget(parent), m_options(options), m_watcher(QFile::encodeName(options.watchPattern)) {
    setWindowTitle(QStringLiteral("Tavrel station"));
    m_logPath = options.logFile.isEmpty()
                    ? QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                          .filePath(QStringLiteral("results.jsonl"))
                    : options.logFile;

    m_chooseImage = new QPushButton(tr("&Image..."), this);
    m_imageLabel = new QLabel(tr("No image yet: choose one."), this);
    m_imageLabel->setTextFormat(Qt::PlainText);
    m_imageLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* rateLabel = new QLabel(tr("&Baud rate"), this);
    m_baud = new QComboBox(this);
    m_baud->setEditable(true);
    m_baud->setInsertPolicy(QComboBox::NoInsert);
    m_baud->setValidator(new QIntValidator(1, 100'000'000, m_baud));
    for (const char* rate : kRates) {
        m_baud->addItem(QString::fromLatin1(rate));
    }
    m_baud->setCurrentText(QString::number(options.baud));
    rateLabel->setBuddy(m_baud);

    m_start = new QPushButton(tr("&Start"), this);
    m_auto = new QPushButton(tr("&Auto"), this);
    m_auto->setCheckable(true);
    m_stopButton = new QPushButton(tr("S&top"), this);
    m_results = new QPushButton(tr("&Results..."), this);
    m_counters = new QLabel(this);
    m_logLabel = new QLabel(tr("Log: %1").arg(QDir::toNativeSeparators(m_logPath)), this);
    m_logLabel->setTextFormat(Qt::PlainText);
    m_logLabel->setWordWrap(true);
    m_logLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* top = new QHBoxLayout;
    top->addWidget(m_chooseImage);
    top->addWidget(m_imageLabel, 1);
    top->addWidget(rateLabel);
    top->addWidget(m_baud);
    auto* actions = new QHBoxLayout;
    for (QPushButton* button : {m_start, m_auto, m_stopButton, m_results}) {
        actions->addWidget(button);
    }
    actions->addStretch(1);
    actions->addWidget(m_counters);

    m_board = new QWidget;
    m_grid = new QGridLayout(m_board);
    m_grid->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    m_noPorts =
        new QLabel(options.watchPattern.isEmpty()
                       ? tr("No USB serial port yet: plug a board in.")
                       : tr("Nothing matches %1 yet: plug a board in.").arg(options.watchPattern),
                   m_board);
    m_noPorts->setTextFormat(Qt::PlainText);
    auto* scroll = new QScrollArea(this);
    scroll->setWidget(m_board);
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(actions);
    layout->addWidget(scroll, 1);
    layout->addWidget(m_logLabel);

    connect(m_chooseImage, &QPushButton::clicked, this, &StationWindow::OnChooseImage);
    connect(m_start, &QPushButton::clicked, this, &StationWindow::OnStart);
    connect(m_auto, &QPushButton::toggled, this, &StationWindow::OnAuto);
    connect(m_stopButton, &QPushButton::clicked, this, &StationWindow::OnStop);
    connect(m_results, &QPushButton::clicked, this, &StationWindow::OnResults);
    connect(&m_poll, &QTimer::timeout, this, &StationWindow::PollPorts);

    const QFontMetrics metrics(font());
    resize(metrics.averageCharWidth() * 120, metrics.height() * 34);
    if (!options.image.isEmpty()) {
        LoadImage(options.image);
    }
    m_auto->setChecked(options.autoMode);
    PollPorts();
    m_poll.start(kLookMs);
    UpdateControls();
}

StationWindow::~StationWindow() {
    if (m_stop == 0) {
        m_stop = kStopByOperator; // every update under way ends, its port closed, before it goes
    }
    m_station.reset();
}

void StationWindow::Message(const QString& text) {
    // No tile comes or goes while the operator reads: the handler that asked is still running.
    m_poll.stop();
    QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box.exec();
    m_poll.start(kLookMs);
}

bool StationWindow::LoadImage(const QString& path) {
    if (Busy()) {
        Message(tr("Updates are under way with the image loaded now. Stop them, or let them end, "
                   "before choosing another."));
        return false;
    }
    ImageStore image;
    const QByteArray nativePath = NativePathOf(path);
    const LoadResult loaded = LoadFirmwareFile(image, nativePath).result;
    if (!loaded.ok) {
        Message(loaded.message);
        return false;
    }
    m_image = image;
    m_imageBytes = loaded.bytes;
    m_imagePath = nativePath;
    m_imageLoaded = true;
    m_imageSha256 = QString::fromLatin1(station::ImageSha256(m_image, m_imageBytes));
    m_station.reset(); // the next start uses the new image
    m_imageLabel->setText(ImageText());
    m_imageLabel->setToolTip(VisibleText(m_imagePath));
    UpdateControls();
    return true;
}

QString StationWindow::ImageText() const {
    if (!m_imageLoaded) {
        return m_imageLabel->text();
    }
    return tr("%1: %2 bytes, %3 blocks, SHA-256 %4")
        .arg(VisibleText(QFileInfo(QFile::decodeName(m_imagePath)).fileName().toUtf8()),
             QString::number(m_imageBytes), QString::number(m_image.m_lastBlock + 1),
             m_imageSha256.left(12));
}

void StationWindow::OnChooseImage() {
    ImageFileDialog dialog(this, tr("Firmware image"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(
        {tr("Firmware images (%1)").arg(FirmwareNamePatterns()), tr("All files (*)")});
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        LoadImage(dialog.selectedFiles().first());
    }
}

bool StationWindow::Busy() const {
    return m_station && m_station->AnyBusy();
}

bool StationWindow::EnsureStation() {
    if (!m_imageLoaded) {
        Message(tr("Choose the image first."));
        return false;
    }
    bool ok = false;
    const qint32 baud = m_baud->currentText().toInt(&ok);
    if (!ok || baud < 1) {
        Message(tr("Give the baud rate as a whole number, for example 115200."));
        return false;
    }
    if (m_station && m_stationBaud == baud) {
        return true;
    }
    if (Busy()) {
        return false; // the rate changes for the next round
    }
    station::Station::Settings settings;
    settings.update.imagePath = m_imagePath;
    settings.update.baud = baud;
    settings.update.timeoutSeconds = m_options.timeoutSeconds;
    settings.logFile = QFile::encodeName(m_logPath);
    auto created = std::make_unique<station::Station>(
        settings, m_image, m_imageBytes, m_stop, [this](const station::StationEvent& event) {
            // From the ports' threads: shown on the window's own.
            QMetaObject::invokeMethod(
                this, [this, event] { OnEvent(event); }, Qt::QueuedConnection);
        });
    if (const QString error = created->OpenLog(); !error.isEmpty()) {
        Message(tr("Cannot write the log %1: %2").arg(m_logPath, error));
        return false;
    }
    m_station = std::move(created);
    m_stationBaud = baud;
    return true;
}

void StationWindow::OnStart() {
    if (m_stop != 0 || !EnsureStation()) {
        return; // said why once
    }
    QStringList waiting;
    for (const auto& [port, tile] : m_tiles) {
        if (tile->State() == station::PortState::Waiting) {
            waiting << port;
        }
    }
    for (const QString& port : waiting) {
        m_station->Flash(port);
    }
    UpdateControls();
}

void StationWindow::OnAuto(bool) {
    PollPorts(); // the devices waiting now have appeared already
}

void StationWindow::StopForSignal(int signal) {
    m_stop = signal; // each update ends at once and is recorded as stopped by that signal
}

void StationWindow::OnStop() {
    if (Busy()) {
        m_stop =
            kStopByOperator; // each update ends at once, its port closed; cleared when all have
    }
    UpdateControls();
}

void StationWindow::OnResults() {
    QDir().mkpath(QFileInfo(m_logPath).absolutePath());
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(m_logPath).absolutePath()));
}

void StationWindow::OnEvent(const station::StationEvent& event) {
    if (event.kind == station::StationEvent::Kind::Ended && !event.retrying) {
        // Counted whether or not its tile is still there: the counters agree with the log.
        m_endedAt[event.status.port].start();
        if (event.status.state == station::PortState::Passed) {
            m_plugs.Passed(event.status.port);
        }
        ++(event.status.state == station::PortState::Passed ? m_passed : m_failed);
        UpdateControls();
    }
    if (PortTile* tile = Tile(event.status.port)) {
        tile->Show(event.status);
    }
}

void StationWindow::PollPorts() {
    if (m_station) {
        m_station->Reap();
        if (m_stop != 0 && !m_station->AnyBusy()) {
            m_stop = 0; // every update has ended: the next Start may run
        }
    }
    const station::PlugTracker::IdentityOf identityOf = station::IdentifyUsbDevice;
    const station::PlugTracker::Look look = m_plugs.Update(
        m_watcher.Present(),
        [this](const QString& port) { return m_station && m_station->Busy(port); }, identityOf,
        station::DeviceNodeOf);
    bool changed = false;
    for (const QString& port : look.arrived) {
        if (const auto old = m_tiles.find(port); old != m_tiles.end()) {
            delete old->second; // the tile of a board that has left: this is the next one
            m_tiles.erase(old);
        }
        m_endedAt.erase(port);
        auto* tile = new PortTile(port, m_board);
        tile->SetSerialNumber(identityOf(port).serialNumber);
        m_tiles[port] = tile;
        changed = true;
    }
    for (const QString& port : look.restarted) {
        if (PortTile* tile = Tile(port)) {
            tile->Note(tr("Restarted after passing: taken for the same board, not flashed "
                          "again. Unplug it for a second to flash it as a new board."));
        }
    }
    for (auto it = m_tiles.begin(); it != m_tiles.end();) {
        const QString port = it->first;
        const bool busy = m_station && m_station->Busy(port);
        const auto ended = m_endedAt.find(port);
        const bool justEnded = ended != m_endedAt.end() && ended->second.elapsed() < kGoneTileMs;
        if (!m_plugs.Tracked(port) && !busy && !justEnded) {
            delete it->second;
            it = m_tiles.erase(it);
            m_endedAt.erase(port);
            changed = true;
        } else {
            ++it;
        }
    }
    if (changed) {
        Relayout();
    }
    if (m_auto->isChecked() && m_stop == 0 && m_imageLoaded) {
        // Every board that waits, also one that came while Stop was in force.
        if (EnsureStation()) {
            OnStart();
        } else {
            m_auto->setChecked(false); // said why; Auto again once it is mended
        }
    }
    UpdateControls();
}

QList<PortTile*> StationWindow::Tiles() const {
    QList<PortTile*> tiles;
    for (const auto& [port, tile] : m_tiles) {
        tiles << tile;
    }
    return tiles;
}

PortTile* StationWindow::Tile(const QString& port) const {
    const auto found = m_tiles.find(port);
    return found == m_tiles.end() ? nullptr : found->second;
}

void StationWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Relayout();
}

void StationWindow::Relayout() {
    // As many columns as the window's width holds.
    const QList<PortTile*> tiles = Tiles();
    const int tileWidth = tiles.isEmpty() ? 1 : tiles.first()->minimumWidth() + m_grid->spacing();
    const int columns = std::max(1, (m_board->width() - 2 * m_grid->contentsMargins().left()) /
                                        std::max(1, tileWidth));
    while (m_grid->count() > 0) {
        delete m_grid->takeAt(0); // the layout's item, not the tile it holds
    }
    m_noPorts->setVisible(tiles.isEmpty());
    if (tiles.isEmpty()) {
        m_grid->addWidget(m_noPorts, 0, 0);
    }
    for (int i = 0; i < tiles.size(); ++i) {
        m_grid->addWidget(tiles[i], i / columns, i % columns);
        tiles[i]->show();
    }
}

void StationWindow::UpdateControls() {
    const bool busy = Busy();
    m_chooseImage->setEnabled(!busy);
    m_baud->setEnabled(!busy);
    m_start->setEnabled(m_imageLoaded && m_stop == 0);
    m_stopButton->setEnabled(busy && m_stop == 0);
    m_counters->setText(tr("passed %1   failed %2   total %3")
                            .arg(m_passed)
                            .arg(m_failed)
                            .arg(m_passed + m_failed));
}
