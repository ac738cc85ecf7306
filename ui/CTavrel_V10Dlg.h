// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window: one dialog that owns all the state of a run (the serial control, the two
// lists, the text boxes, the progress bar, the image and the transfer state), lays out its
// controls from the template, routes every event through static tables to its handlers and
// exchanges values between controls and members.

#include "serial/CMscomm1.h"
#include "serial/DataLog.h"
#include "update/EngineHost.h"
#include "update/ImageStore.h"
#include "update/TransferEngine.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QString>
#include <map>
#include <optional>

class LimitedTextEdit;
class QProgressBar;
class QPushButton;
class SortedComboBox;

// Control identifiers of the window's template.
enum ControlId : int {
    IDC_RECEIVE_TEXT = 1000,
    IDC_SEND_TEXT = 1001,
    IDC_PORT_LIST = 1002,
    IDC_BAUD_LIST = 1003,
    IDC_OPEN_PORT = 1004,
    IDC_SEND_DATA = 1005,
    IDC_CLEAR_DATA = 1006,
    IDC_EXIT = 1007,
    IDC_MSCOMM = 1008,
    IDC_WRITE = 1009,
    IDC_SELECT_BIN = 1010,
    IDC_BOOT_USER = 1011,
    IDC_PROGRESS = 1012,
};

inline constexpr unsigned IDM_ABOUTBOX = 0x0010;

// The standard commands of a window's system menu.
enum SystemCommand : unsigned {
    SC_SIZE = 0xF000,
    SC_MOVE = 0xF010,
    SC_MINIMIZE = 0xF020,
    SC_MAXIMIZE = 0xF030,
    SC_CLOSE = 0xF060,
    SC_RESTORE = 0xF120,
};

class CTavrel_V10Dlg : public QDialog, private EngineHost {
    Q_OBJECT

  public:
    explicit CTavrel_V10Dlg(QWidget* parent = nullptr);
    ~CTavrel_V10Dlg() override;

    // The control with this identifier (labels and group boxes have none).
    QWidget* GetDlgItem(int id) const;
    // Walks the data exchange table; false when a length limit stopped it.
    bool UpdateData(bool save = true);
    // An OK-only message box without icon whose caption is the application's name.
    void MessageBox(const QString& text);

    // Handlers, reached through the command and event-sink tables.
    void OnSysCommand(unsigned id);
    // The application's about box, over this window (none where the application gave none).
    void ShowAboutBox();
    void OnOpenPort();
    void OnSendData();
    void OnClearData();
    void OnExit();
    void OnSelectBin();
    void OnWrite();
    void OnBootUserSwitch();
    void OnReceiveTextChange();
    void OnCommEvent();

    QIcon m_hIcon;
    DataLog m_receiveText;
    QString m_sendText;
    SortedComboBox* m_portList = nullptr;
    SortedComboBox* m_baudList = nullptr;
    CMscomm1 m_comm;
    ImageStore m_store;                      // m_image, m_imageReady, m_lastBlock
    TransferEngine m_engine{m_store, *this}; // m_currentBlock, m_progressStep
    QProgressBar* m_progress = nullptr;

  protected:
    bool OnInitDialog();
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    // The port that "Open Port" opens: com N, or a device path typed into the port list.
    struct PortChoice {
        short number;
        QString device; // empty: com N as mapped
    };
    enum class EventKind { SysCommand, ButtonClicked, TextChanged };
    struct CommandRow {
        EventKind kind;
        int controlId;
        void (CTavrel_V10Dlg::*handler)();
    };
    struct EventSinkRow {
        int controlId;
        int eventId;
        void (CTavrel_V10Dlg::*handler)();
    };
    static const CommandRow kCommandTable[];
    static const EventSinkRow kEventSinkTable[];

    void CreateControls();
    void ConnectTables();
    void Dispatch(EventKind kind, int controlId);
    void DispatchEvent(int controlId, int eventId);
    // Runs one handler; a refusal of the serial control ends it and is shown to the operator.
    void RunHandler(void (CTavrel_V10Dlg::*handler)());
    void ReportPortLost();
    void RefreshPortTips();
    void FillLists();
    // What the lists show: the selected entry, or a rate or port typed into the list's field.
    std::optional<QString> ChosenBaud() const;
    std::optional<PortChoice> ChosenPort() const;
    void DefaultSysCommand(unsigned command);
    void OnOK();
    void ShowLengthWarning(LimitedTextEdit* box, int limit);
    LimitedTextEdit* TextBox(int id) const;
    QPushButton* Button(int id) const;

    // EngineHost: how the transfer engine reaches the port and the window.
    void WritePacket(const QByteArray& packet) override;
    void SetProgress(int position) override;
    void Wait(int milliseconds) override;
    void ShowMessage(const QString& text) override;
    void SaveData() override;
    void SetWriteCaption(const QString& caption) override;

    bool m_initialised = false;
    // Valid while the last packet written was the switch packet, since it went: a device that
    // drops the port soon after is restarting with its new program, which is no failure.
    QElapsedTimer m_sinceSwitch;
    static constexpr int kRestartGraceMs = 10000;
    std::map<int, QWidget*> m_controls; // by control identifier, filled from the template
};
