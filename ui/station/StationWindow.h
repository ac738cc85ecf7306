// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// tavrel-station: the production line's view of many devices. One image, one baud rate, and a
// tile per port that turns blue, then green or red, as boards are plugged, flashed and
// unplugged. Start flashes every waiting port once, Auto flashes each device as it appears,
// Stop ends every update under way. Every attempt goes to the same JSON-lines log as
// tavrel-flash --log.

#include "config/RunSettings.h"
#include "serial/ModemSequence.h"
#include "serial/PortFilter.h"
#include "serial/StopFlag.h"
#include "station/StationController.h"
#include "ui/station/Sounds.h"
#include "update/ImageStore.h"

#include <QElapsedTimer>
#include <QWidget>
#include <optional>

class QLineEdit;
#include <map>
#include <vector>

class PortTile;
class QAbstractButton;
class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;

class StationWindow : public QWidget {
    Q_OBJECT

  public:
    // The run's settings, as both programs read them, and the fixture's names for its ports
    // read from their file.
    struct Options : config::RunSettings {
        SlotLabels slots;
        std::shared_ptr<records::Recorder> records;     // where every attempt is kept
        std::shared_ptr<station::BoardStamper> stamper; // each board's own numbers, if any
    };
    explicit StationWindow(const Options& options, QWidget* parent = nullptr);
    ~StationWindow() override;

    // Loads the image (the loader's message when it cannot; the image before stays).
    bool LoadImage(const QString& path);
    // Every tile, in the fixture's order (slot labels, else port names, numbers as numbers); a
    // failure of a board that has left stands before the next board on its port.
    QList<PortTile*> Tiles() const;
    // The size the window opens at on a screen of `available` size: eight boards, four to a
    // row, in view where the screen holds them.
    QSize DefaultSize(const QSize& available) const;
    PortTile* Tile(const QString& port) const;
    int Passed() const { return m_controller.Passed(); }
    int Failed() const { return m_controller.Failed(); }
    QString LogPath() const { return m_logPath; }
    QString ImageText() const;
    // Looks for ports that came or went now (the station does it ten times a second).
    void PollPorts();

    void OnStart();
    void OnStop();
    // A signal (SIGTERM, SIGHUP, SIGINT) ends the program: every update stops and is recorded so.
    void StopForSignal(int signal);
    void OnAuto(bool on);
    void OnRateChanged(const QString& text);
    void OnIdle();
    void OnChooseImage();
    void OnResults();
    // A failed tile, seen: it goes if its board has gone.
    void Acknowledge(PortTile* tile);
    void AcknowledgeAll();
    // Failed tiles nobody has acknowledged yet.
    int Unacknowledged() const;
    // Asks once, then sets the counts to zero; the counts so far go to the log.
    void OnResetCounters();
    const Sounds& SoundsPlayed() const { return m_sounds; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void OnEvent(const station::StationEvent& event);
    void AddTile(const station::PortStatus& status);
    // The tile of a board that is gone goes, a few seconds after its update ended.
    void RemoveTileOfGone(const QString& port);
    // A tile whose port is taken by the next board, or gone: kept while its failure awaits
    // acknowledgement, else deleted.
    void KeepOrDelete(PortTile* tile);
    bool EnsureStation();
    bool Busy() const { return m_controller.Busy(); }
    void Relayout();
    void UpdateControls();
    void Message(const QString& text);

    Options m_options;
    QString m_logPath;
    LoadedImage m_image;
    bool m_imageLoaded = false;
    StopFlag m_stop = 0;
    station::StationController m_controller{m_stop};
    qint32 m_stationBaud = 0; // the rate the controller was configured with; 0: not yet
    std::map<QString, PortTile*> m_tiles;
    std::vector<PortTile*> m_seenLater; // failed tiles of boards gone, kept until acknowledged
    // When each port's last update ended: the tile of a device that is gone stays this long
    // after, so that its green or red is seen.
    std::map<QString, QElapsedTimer> m_endedAt;
    static constexpr int kGoneTileMs = 3000;

    QLabel* m_imageLabel = nullptr;
    QComboBox* m_baud = nullptr;
    QLineEdit* m_operator = nullptr;
    QLineEdit* m_workOrder = nullptr;
    QString m_recordedOperator; // what the station's records carry now
    QString m_recordedWorkOrder;
    QPushButton* m_chooseImage = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_auto = nullptr;
    QPushButton* m_stopButton = nullptr;
    QPushButton* m_results = nullptr;
    QLabel* m_counters = nullptr;
    QLabel* m_unacknowledged = nullptr;
    QPushButton* m_acknowledgeAll = nullptr;
    QPushButton* m_resetCounters = nullptr;
    QAbstractButton* m_sound = nullptr;
    Sounds m_sounds;
    QWidget* m_viewport = nullptr;
    QLabel* m_logLabel = nullptr;
    QLabel* m_recordsLabel = nullptr; // the store, and the records waiting for the line server
    QWidget* m_board = nullptr;
    QGridLayout* m_grid = nullptr;
    QLabel* m_noPorts = nullptr;
};
