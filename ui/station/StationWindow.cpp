// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/station/StationWindow.h"

#include "base/VisibleText.h"
#include "ui/ImageFileDialog.h"
#include "ui/station/PortTile.h"
#include "update/ImageFormats.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <csignal>

namespace {
const char* const kRates[] = {"9600",   "19200",  "38400",  "57600",
                              "115200", "230400", "460800", "921600"};
} // namespace

StationWindow::StationWindow(const Options& options, QWidget* parent)
    : QWidget(parent), m_options(options) {
    setWindowTitle(QStringLiteral("Tavrel station"));
    m_logPath = options.logFile.isEmpty()
                    ? QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                          .filePath(QStringLiteral("results.jsonl"))
                    : QFile::decodeName(options.logFile);

    m_chooseImage = new QPushButton(tr("&Image..."), this);
    m_chooseImage->setObjectName(QStringLiteral("image"));
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
    m_auto->setObjectName(QStringLiteral("auto"));
    m_auto->setCheckable(true);
    m_stopButton = new QPushButton(tr("S&top"), this);
    m_results = new QPushButton(tr("&Results..."), this);
    m_acknowledgeAll = new QPushButton(tr("Ac&knowledge failures"), this);
    m_resetCounters = new QPushButton(tr("Reset c&ounters..."), this);
    auto* sound = new QCheckBox(tr("So&und"), this);
    sound->setChecked(true);
    m_sound = sound;
    // Each button says what it does and its key.
    for (const auto& [button, what] :
         {std::pair<QAbstractButton*, QString>{m_chooseImage, tr("Choose the firmware image")},
          {m_start, tr("Flash every board that waits")},
          {m_auto, tr("Flash each board as soon as it is plugged in")},
          {m_stopButton, tr("Stop every update under way")},
          {m_results, tr("Show the results log")},
          {m_acknowledgeAll, tr("Mark every failure as seen")},
          {m_resetCounters, tr("Set the counters to zero, writing them to the log first")},
          {sound, tr("A sound for each pass and failure")}}) {
        const QString key =
            QKeySequence::mnemonic(button->text()).toString(QKeySequence::NativeText);
        button->setToolTip(key.isEmpty() ? what : tr("%1 (%2)").arg(what, key));
    }
    connect(sound, &QCheckBox::toggled, this, [this](bool on) { m_sounds.SetMuted(!on); });
    m_counters = new QLabel(this);
    QFont large = m_counters->font();
    large.setPointSizeF(large.pointSizeF() * 1.6);
    large.setBold(true);
    m_counters->setFont(large);
    m_unacknowledged = new QLabel(this);
    m_unacknowledged->setFont(large);
    QPalette alarm = m_unacknowledged->palette();
    alarm.setColor(QPalette::WindowText, QColor(0xc6, 0x28, 0x28));
    m_unacknowledged->setPalette(alarm);
    m_logLabel = new QLabel(tr("Log: %1").arg(QDir::toNativeSeparators(m_logPath)), this);
    m_logLabel->setTextFormat(Qt::PlainText);
    m_logLabel->setWordWrap(true);
    m_logLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_recordsLabel = new QLabel(this);
    m_recordsLabel->setObjectName(QStringLiteral("records"));
    m_recordsLabel->setTextFormat(Qt::PlainText);
    m_recordsLabel->setWordWrap(true);
    m_recordsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_recordsLabel->setVisible(options.records != nullptr);
    if (options.records) {
        // The line server comes and goes: its backlog is looked at every second.
        // So are the numbers left to stamp: a counter near its end is shown as an alarm.
        const auto showRecords = [this] {
            QString text = tr("Records: %1").arg(m_options.records->StatusText());
            bool alarm = !m_options.records->Now().reachable;
            if (m_options.stamper) {
                text += QStringLiteral("\n") + tr("Numbers: %1").arg(m_options.stamper->LeftText());
                alarm = alarm || m_options.stamper->Low();
            }
            m_recordsLabel->setText(text);
            m_recordsLabel->setPalette(alarm ? m_unacknowledged->palette() : palette());
        };
        auto* looks = new QTimer(this);
        connect(looks, &QTimer::timeout, this, showRecords);
        looks->start(1000);
        showRecords();
    }

    auto* top = new QHBoxLayout;
    top->addWidget(m_chooseImage);
    top->addWidget(m_imageLabel, 1);
    top->addWidget(rateLabel);
    top->addWidget(m_baud);
    auto* actions = new QHBoxLayout;
    for (QPushButton* button :
         {m_start, m_auto, m_stopButton, m_results, m_acknowledgeAll, m_resetCounters}) {
        actions->addWidget(button);
    }
    actions->addWidget(m_sound);
    actions->addStretch(1);
    auto* counters = new QHBoxLayout;
    counters->addWidget(m_counters);
    counters->addStretch(1);
    counters->addWidget(m_unacknowledged);

    m_board = new QWidget;
    m_grid = new QGridLayout(m_board);
    m_grid->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    m_noPorts = new QLabel(
        options.watchPattern.isEmpty()
            ? tr("No USB serial port yet: plug a board in.")
            : tr("Nothing matches %1 yet: plug a board in.").arg(VisibleText(options.watchPattern)),
        m_board);
    m_noPorts->setTextFormat(Qt::PlainText);
    auto* scroll = new QScrollArea(this);
    scroll->setWidget(m_board);
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus);
    // The tiles reflow to the width: never a column behind a scroll bar.
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_viewport = scroll->viewport();
    m_viewport->installEventFilter(this);

    // Who runs the station and for which work order: typed, or read by a barcode scanner, which
    // types as a keyboard does.
    m_operator = new QLineEdit(options.operatorId, this);
    m_operator->setObjectName(QStringLiteral("operator"));
    m_operator->setPlaceholderText(tr("scan or type"));
    m_workOrder = new QLineEdit(options.workOrder, this);
    m_workOrder->setObjectName(QStringLiteral("work-order"));
    m_workOrder->setPlaceholderText(tr("scan or type"));
    auto* operatorLabel = new QLabel(tr("O&perator"), this);
    operatorLabel->setBuddy(m_operator);
    auto* workOrderLabel = new QLabel(tr("&Work order"), this);
    workOrderLabel->setBuddy(m_workOrder);
    auto* people = new QHBoxLayout;
    people->addWidget(operatorLabel);
    people->addWidget(m_operator, 1);
    people->addWidget(workOrderLabel);
    people->addWidget(m_workOrder, 1);

    auto* layout = new QVBoxLayout(this);
    if (options.job) {
        // The job in large type: the operator sees at a glance what the station makes.
        auto* job = new QLabel(tr("Job %1").arg(options.job->Title()), this);
        job->setObjectName(QStringLiteral("job"));
        job->setTextFormat(Qt::PlainText);
        QFont large = job->font();
        large.setPointSizeF(large.pointSizeF() * 2);
        large.setBold(true);
        job->setFont(large);
        layout->addWidget(job);
    }
    layout->addLayout(top);
    layout->addLayout(people);
    layout->addLayout(actions);
    layout->addLayout(counters);
    layout->addWidget(scroll, 1);
    layout->addWidget(m_logLabel);
    layout->addWidget(m_recordsLabel);

    connect(m_chooseImage, &QPushButton::clicked, this, &StationWindow::OnChooseImage);
    connect(m_start, &QPushButton::clicked, this, &StationWindow::OnStart);
    connect(m_auto, &QPushButton::toggled, this, &StationWindow::OnAuto);
    connect(m_stopButton, &QPushButton::clicked, this, &StationWindow::OnStop);
    connect(m_results, &QPushButton::clicked, this, &StationWindow::OnResults);
    connect(m_acknowledgeAll, &QPushButton::clicked, this, &StationWindow::AcknowledgeAll);
    connect(m_resetCounters, &QPushButton::clicked, this, &StationWindow::OnResetCounters);
    connect(m_baud, &QComboBox::currentTextChanged, this, &StationWindow::OnRateChanged);
    connect(&m_controller, &station::StationController::PortEvent, this, &StationWindow::OnEvent);
    connect(&m_controller, &station::StationController::Idle, this, &StationWindow::UpdateControls);

    const QScreen* screen = QGuiApplication::primaryScreen();
    resize(DefaultSize(screen != nullptr ? screen->availableGeometry().size() : QSize(1280, 800)));
    if (!options.imagePath.isEmpty()) {
        LoadImage(QFile::decodeName(options.imagePath));
    }
    m_controller.Watch(options.watchPattern, options.portFilters, options.networkPorts);
    m_auto->setChecked(options.autoMode);
    UpdateControls();
}

StationWindow::~StationWindow() {
    if (m_stop == 0) {
        m_stop = kStopByOperator; // every update under way ends, its port closed, before it goes
    }
}

void StationWindow::Message(const QString& text) {
    QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box.exec();
}

bool StationWindow::LoadImage(const QString& path) {
    if (Busy()) {
        Message(tr("Updates are under way with the image loaded now. Stop them, or let them end, "
                   "before choosing another."));
        return false;
    }
    Result<LoadedImage, ImageError> loaded =
        ::LoadImage(NativePathOf(path), m_options.base, m_options.format);
    if (!loaded) {
        Message(loaded.error().text);
        return false;
    }
    if (m_options.job) {
        if (const ConfigDone ours = config::CheckImageOfJob(*m_options.job, *loaded); !ours) {
            Message(ours.error().text);
            return false;
        }
    }
    m_image = std::move(*loaded);
    m_imageLoaded = true;
    m_stationBaud = 0; // the next start makes the station anew with the new image; the one
                       // before keeps the log open for the counts
    m_imageLabel->setText(ImageText());
    m_imageLabel->setToolTip(VisibleText(m_image.path));
    OnAuto(m_auto->isChecked());
    UpdateControls();
    return true;
}

QString StationWindow::ImageText() const {
    if (!m_imageLoaded) {
        return m_imageLabel->text();
    }
    return tr("%1: %2 bytes, %3 blocks, SHA-256 %4")
        .arg(VisibleText(QFileInfo(QFile::decodeName(m_image.path)).fileName().toUtf8()),
             QString::number(m_image.bytes), QString::number(m_image.store.m_lastBlock + 1),
             QString::fromLatin1(m_image.sha256.left(12)));
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

bool StationWindow::EnsureStation() {
    if (!m_imageLoaded) {
        Message(tr("Choose the image first."));
        return false;
    }
    // A job that requires them gets both before its first board.
    for (QLineEdit* field : {m_operator, m_workOrder}) {
        const bool operatorField = field == m_operator;
        if (m_options.job && field->text().trimmed().isEmpty() &&
            m_options.job->required.contains(operatorField ? QStringLiteral("operator")
                                                           : QStringLiteral("work-order"))) {
            Message(operatorField ? tr("Job %1 requires the operator: scan or type it first.")
                                        .arg(m_options.job->Title())
                                  : tr("Job %1 requires the work order: scan or type it first.")
                                        .arg(m_options.job->Title()));
            field->setFocus();
            return false;
        }
    }
    // The records carry what the fields say now: a changed field makes the station anew.
    if (m_controller.Configured() && (m_operator->text().trimmed() != m_recordedOperator ||
                                      m_workOrder->text().trimmed() != m_recordedWorkOrder)) {
        m_stationBaud = 0;
    }
    bool ok = false;
    const qint32 baud = m_baud->currentText().toInt(&ok);
    if (!ok || baud < 1) {
        Message(tr("Give the baud rate as a whole number, for example 115200."));
        return false;
    }
    if (m_controller.Configured() && m_stationBaud == baud) {
        return true;
    }
    if (Busy()) {
        return false; // the rate changes for the next round
    }
    station::Station::Settings settings;
    settings.update.imagePath = m_image.path;
    settings.update.baud = baud;
    settings.update.timeoutSeconds = m_options.timeoutSeconds;
    settings.update.expect = m_options.expect;
    settings.update.expectWithinSeconds = m_options.expectWithinSeconds;
    settings.slots = m_options.slots;
    settings.retries = m_options.retries;
    settings.update.before = m_options.before;
    settings.update.after = m_options.after;
    settings.logFile = QFile::encodeName(m_logPath);
    if (m_options.job) {
        settings.job = m_options.job->Title();
        settings.jobSha256 = QString::fromLatin1(m_options.job->sha256);
        settings.jobSignedBy = QString::fromLatin1(m_options.job->signedBy);
    }
    settings.operatorId = m_operator->text().trimmed();
    settings.workOrder = m_workOrder->text().trimmed();
    settings.records = m_options.records;
    settings.stationName = m_options.stationName;
    settings.maxBoards = m_options.job ? m_options.job->maxBoards : 0;
    if (m_options.stamper) {
        // Each board's fields must fit the image chosen, before any board.
        if (const ConfigDone fits =
                CheckStampRecipe(m_options.stamper->Recipe(), ImageBytes(m_image));
            !fits) {
            Message(fits.error().text);
            return false;
        }
        settings.stamper = m_options.stamper;
    }
    if (const QString error = m_controller.Configure(settings, m_image); !error.isEmpty()) {
        Message(tr("Cannot write the log %1: %2").arg(m_logPath, error));
        return false;
    }
    m_stationBaud = baud;
    m_recordedOperator = settings.operatorId;
    m_recordedWorkOrder = settings.workOrder;
    return true;
}

void StationWindow::OnStart() {
    if (m_stop != 0 || !EnsureStation()) {
        return; // said why once
    }
    m_controller.FlashWaiting();
    UpdateControls();
}

void StationWindow::OnAuto(bool) {
    // Auto without an image waits for one; with one, every waiting board starts now.
    const bool on = m_auto->isChecked() && m_imageLoaded;
    if (on && !EnsureStation()) {
        m_auto->setChecked(false); // said why; Auto again once it is mended
        return;
    }
    m_controller.SetAuto(on);
    UpdateControls();
}

void StationWindow::OnIdle() {
    // A rate typed while updates ran serves the next board.
    OnRateChanged(m_baud->currentText());
    UpdateControls();
}

void StationWindow::OnRateChanged(const QString& text) {
    // Only while nothing runs (the field is disabled otherwise): the next board gets the rate.
    bool ok = false;
    if (m_controller.Configured() && text.toInt(&ok) > 0 && ok) {
        EnsureStation();
    }
}

void StationWindow::StopForSignal(int signal) {
    m_controller.Stop(signal); // each update ends at once and is recorded as stopped by it
}

void StationWindow::OnStop() {
    m_controller.Stop(kStopByOperator); // each update ends at once, its port closed
    UpdateControls();
}

void StationWindow::OnResults() {
    const QString folder = QFileInfo(m_logPath).absolutePath();
    QDir().mkpath(folder);
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
        // No file manager to show it: the path, to copy.
        QMessageBox box(QMessageBox::Information, windowTitle(),
                        tr("The results log is %1").arg(QDir::toNativeSeparators(m_logPath)),
                        QMessageBox::Ok, this);
        box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        box.exec();
    }
}

void StationWindow::PollPorts() {
    m_controller.Look();
}

void StationWindow::AddTile(const station::PortStatus& status) {
    if (const auto old = m_tiles.find(status.port); old != m_tiles.end()) {
        // The tile of a board that has left: this is the next one. A failure nobody has seen
        // stays beside it.
        KeepOrDelete(old->second);
        m_tiles.erase(old);
    }
    m_endedAt.erase(status.port);
    auto* tile = new PortTile(status.port, m_board);
    connect(tile, &PortTile::Clicked, this, &StationWindow::Acknowledge);
    tile->SetSerialNumber(status.usbSerial);
    tile->SetSlot(m_options.slots.Of(status.port));
    m_tiles[status.port] = tile;
    Relayout();
}

void StationWindow::RemoveTileOfGone(const QString& port) {
    const auto found = m_tiles.find(port);
    if (found == m_tiles.end()) {
        return;
    }
    const auto ended = m_endedAt.find(port);
    const qint64 shownFor = ended == m_endedAt.end() ? kGoneTileMs : ended->second.elapsed();
    if (shownFor < kGoneTileMs) {
        // Its green or red is seen a while yet, unless a new board takes its place meanwhile.
        PortTile* tile = found->second;
        QTimer::singleShot(kGoneTileMs - shownFor, tile, [this, port, tile] {
            if (Tile(port) == tile && !m_controller.Busy(port)) {
                RemoveTileOfGone(port);
            }
        });
        return;
    }
    KeepOrDelete(found->second);
    m_tiles.erase(found);
    m_endedAt.erase(port);
    Relayout();
    UpdateControls();
}

void StationWindow::KeepOrDelete(PortTile* tile) {
    if (tile->AwaitsAcknowledgement()) {
        tile->MarkUnplugged();
        m_seenLater.push_back(tile);
    } else {
        delete tile;
    }
}

void StationWindow::Acknowledge(PortTile* tile) {
    if (!tile->AwaitsAcknowledgement()) {
        return;
    }
    tile->Acknowledge();
    if (const auto kept = std::find(m_seenLater.begin(), m_seenLater.end(), tile);
        kept != m_seenLater.end()) {
        m_seenLater.erase(kept);
        tile->deleteLater(); // its board has gone: seen now, it goes too
        tile->hide();
        Relayout();
    }
    UpdateControls();
}

void StationWindow::AcknowledgeAll() {
    for (PortTile* tile : Tiles()) {
        Acknowledge(tile);
    }
}

int StationWindow::Unacknowledged() const {
    const QList<PortTile*> tiles = Tiles();
    return static_cast<int>(std::count_if(tiles.begin(), tiles.end(),
                                          [](PortTile* t) { return t->AwaitsAcknowledgement(); }));
}

void StationWindow::OnResetCounters() {
    QMessageBox ask(QMessageBox::Question, windowTitle(),
                    tr("Set the passed and failed counts to zero? The counts so far go to the "
                       "log."),
                    QMessageBox::Yes | QMessageBox::No, this);
    if (ask.exec() == QMessageBox::Yes) {
        if (const QString error = m_controller.ResetCounters(); !error.isEmpty()) {
            Message(tr("The counts could not be written to the log %1: %2").arg(m_logPath, error));
        }
        UpdateControls();
    }
}

void StationWindow::OnEvent(const station::StationEvent& event) {
    using Kind = station::StationEvent::Kind;
    const QString& port = event.status.port;
    switch (event.kind) {
    case Kind::Appeared:
        AddTile(event.status);
        break;
    case Kind::Gone:
        RemoveTileOfGone(port);
        break;
    case Kind::Note:
        if (PortTile* tile = Tile(port)) {
            tile->Note(tr("Restarted after passing: taken for the same board, not flashed "
                          "again. Unplug it for a second to flash it as a new board."));
        }
        break;
    default:
        if (event.kind == Kind::Ended && !event.retrying) {
            m_endedAt[port].start();
            m_sounds.Play(event.status.state == station::PortState::Passed ? Sounds::Event::Passed
                                                                           : Sounds::Event::Failed);
            if (m_options.stamper && m_options.stamper->Spent() && m_auto->isChecked()) {
                // No board can get a number: the line stops here rather than refuse each one.
                m_auto->setChecked(false);
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        Message(tr("No numbers are left to stamp (%1). Auto is off: no board is "
                                   "flashed until the counter has numbers again.")
                                    .arg(m_options.stamper->LeftText()));
                    },
                    Qt::QueuedConnection);
            }
        }
        if (PortTile* tile = Tile(port)) {
            const bool failedBefore = tile->State() == station::PortState::Failed;
            tile->Show(event.status);
            if (failedBefore != (tile->State() == station::PortState::Failed)) {
                Relayout(); // a failure comes into view, or gives its place back
            }
        }
        if (event.kind == Kind::Started || event.kind == Kind::Ended) {
            UpdateControls(); // Stop, and the counters, whoever started the update
        }
        break;
    }
}

QSize StationWindow::DefaultSize(const QSize& available) const {
    // Four tiles a row and two rows in view: eight boards at a glance, with the rows of buttons
    // above them and the log's line below.
    // A tile as tall as a failure's, whose reason takes a few lines.
    PortTile probe(QStringLiteral("/dev/ttyUSB0"));
    station::PortStatus failed;
    failed.port = probe.Port();
    failed.state = station::PortState::Failed;
    failed.ending.failure = station::Failure::NoAck;
    failed.reason = QStringLiteral("no ACK for block 12 (number 0x20) within 10 s. Check the baud "
                                   "rate and the cable, and that the boot loader waits.");
    probe.Show(failed);
    const int tileWidth = probe.minimumWidth();
    const QSize tile(tileWidth, std::max(probe.sizeHint().height(),
                                         probe.layout()->totalHeightForWidth(tileWidth)));
    const int spacing = std::max(0, m_grid->spacing());
    const QMargins margins = layout()->contentsMargins();
    int chrome = margins.top() + margins.bottom() + 4 * std::max(0, layout()->spacing());
    for (const QLayoutItem* row :
         {layout()->itemAt(0), layout()->itemAt(1), layout()->itemAt(2), layout()->itemAt(4)}) {
        chrome += row->sizeHint().height();
    }
    const QMargins grid = m_grid->contentsMargins();
    const int frame = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const QSize wanted(margins.left() + margins.right() + frame + scrollBar + grid.left() +
                           grid.right() + 4 * (tile.width() + spacing),
                       chrome + frame + grid.top() + grid.bottom() + 2 * tile.height() + spacing);
    return wanted.boundedTo(available);
}

QList<PortTile*> StationWindow::Tiles() const {
    struct Placed {
        QString key;      // the slot's label, else the port's name
        bool leftAlready; // a failure kept after its board left: before the next board there
        PortTile* tile;
    };
    std::vector<Placed> placed;
    const auto keyOf = [this](const QString& port) {
        const QString slot = m_options.slots.Of(port);
        return slot.isEmpty() ? port : slot;
    };
    for (const auto& [port, tile] : m_tiles) {
        placed.push_back({keyOf(port), false, tile});
    }
    for (PortTile* tile : m_seenLater) {
        if (tile->AwaitsAcknowledgement()) {
            placed.push_back({keyOf(tile->Port()), true, tile});
        }
    }
    std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        if (a.key != b.key) {
            return NameLess(a.key, b.key);
        }
        return a.leftAlready && !b.leftAlready;
    });
    QList<PortTile*> tiles;
    for (const Placed& p : placed) {
        tiles << p.tile;
    }
    return tiles;
}

bool StationWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_viewport && event->type() == QEvent::Resize) {
        Relayout(); // at once, with the width the tiles really have
    }
    return QWidget::eventFilter(watched, event);
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
    QList<PortTile*> tiles = Tiles();
    const int tileWidth = tiles.isEmpty() ? 1 : tiles.first()->minimumWidth() + m_grid->spacing();
    const int columns = std::max(1, (m_viewport->width() - 2 * m_grid->contentsMargins().left()) /
                                        std::max(1, tileWidth));
    // When the rows do not all fit, the failures come first: an operator never scrolls to find
    // one. While all fit, every tile keeps its place.
    int tileHeight = 1;
    for (const PortTile* tile : tiles) {
        tileHeight = std::max(tileHeight, tile->sizeHint().height() + m_grid->spacing());
    }
    const int rows = (int(tiles.size()) + columns - 1) / columns;
    if (rows * tileHeight > m_viewport->height()) {
        std::stable_partition(tiles.begin(), tiles.end(), [](const PortTile* tile) {
            return tile->State() == station::PortState::Failed;
        });
    }
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
    // Every column as wide as the others, whatever the tiles hold.
    for (int c = 0; c < m_grid->columnCount(); ++c) {
        m_grid->setColumnStretch(c, c < columns ? 1 : 0);
    }
}

void StationWindow::UpdateControls() {
    const bool busy = Busy();
    // A job fixes its image, and its rate when it pins one.
    const bool rateFixed =
        m_options.job && std::any_of(m_options.job->pinned.begin(), m_options.job->pinned.end(),
                                     [](const auto& pin) { return pin.first == "baud"; });
    m_chooseImage->setEnabled(!busy && !m_options.job);
    m_baud->setEnabled(!busy && !rateFixed);
    m_operator->setEnabled(!busy);
    m_workOrder->setEnabled(!busy);
    m_start->setEnabled(m_imageLoaded && m_stop == 0);
    m_stopButton->setEnabled(busy && m_stop == 0);
    const int total = Passed() + Failed();
    m_counters->setText(
        tr("passed %1   failed %2   total %3   yield %4")
            .arg(Passed())
            .arg(Failed())
            .arg(total)
            .arg(total == 0 ? QStringLiteral("-")
                            : QStringLiteral("%1 %").arg(100.0 * Passed() / total, 0, 'f', 1)));
    const int unseen = Unacknowledged();
    m_unacknowledged->setText(unseen == 0 ? QString()
                                          : tr("%n failure(s) to acknowledge", nullptr, unseen));
    m_acknowledgeAll->setEnabled(unseen > 0);
}
