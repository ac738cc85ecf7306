// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/CTavrel_V10Dlg.h"

#include "ui/ApplicationIdentity.h"
#include "ui/DialogUnits.h"
#include "ui/LimitedTextEdit.h"
#include "ui/SortedComboBox.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QWindow>

namespace {

enum class ControlKind { GroupBox, Edit, Combo, Label, Button, SerialControl, Progress };

struct ControlTemplate {
    int id; // -1: no identifier
    ControlKind kind;
    const char* caption;     // UTF-8
    int x, y, width, height; // dialog units
    bool visible;
    Qt::Alignment alignment;
    bool wrapLines;
};

constexpr int kNoId = -1;

// Template 102, in template order, which is also the tab order.
const ControlTemplate kControls[] = {
    {kNoId, ControlKind::GroupBox, "Data", 7, 48, 282, 65, true, {}, false},
    {kNoId, ControlKind::GroupBox, "发送", 291, 28, 34, 46, false, {}, false},
    {IDC_RECEIVE_TEXT, ControlKind::Edit, "", 11, 15, 274, 100, true, {}, false},
    {IDC_SEND_TEXT, ControlKind::Edit, "", 300, 42, 20, 23, false, {}, true},
    {IDC_PORT_LIST, ControlKind::Combo, "", 14, 169, 48, 15, true, {}, false},
    {IDC_BAUD_LIST, ControlKind::Combo, "", 14, 207, 48, 16, true, {}, false},
    {kNoId, ControlKind::Label, "Port", 14, 154, 32, 12, true, Qt::AlignLeft, false},
    {kNoId, ControlKind::Label, "Baud rate", 14, 195, 62, 9, true, Qt::AlignLeft, false},
    {IDC_OPEN_PORT, ControlKind::Button, "Open Port", 107, 165, 59, 17, true, {}, false},
    {IDC_SEND_DATA, ControlKind::Button, "发送数据", 291, 103, 31, 17, false, {}, false},
    {IDC_CLEAR_DATA, ControlKind::Button, "Clear Data", 231, 203, 63, 17, true, {}, false},
    {IDC_EXIT, ControlKind::Button, "Exit", 167, 186, 35, 16, false, {}, false},
    {IDC_MSCOMM, ControlKind::SerialControl, "", 300, 74, 22, 22, false, {}, false},
    {IDC_SELECT_BIN, ControlKind::Button, "Select  bin", 107, 204, 59, 17, true, {}, false},
    {IDC_WRITE, ControlKind::Button, "Write", 231, 164, 64, 17, true, {}, false},
    {IDC_BOOT_USER, ControlKind::Button, "boot_user切换", 206, 181, 19, 17, false, {}, false},
    {kNoId, ControlKind::Label, "1", 51, 157, 14, 8, true, Qt::AlignHCenter, false},
    {kNoId, ControlKind::Label, "2", 108, 193, 12, 9, true, Qt::AlignHCenter, false},
    {kNoId, ControlKind::Label, "3", 110, 156, 14, 8, true, Qt::AlignHCenter, false},
    {kNoId, ControlKind::Label, "4", 231, 154, 17, 10, true, Qt::AlignHCenter, false},
    {IDC_PROGRESS, ControlKind::Progress, "", 10, 132, 283, 12, true, {}, false},
};

constexpr int kDialogWidthDu = 332;
constexpr int kDialogHeightDu = 235;

// The data exchange table, walked top to bottom in either direction.
enum class ExchangeKind { TextTransfer, Binding, LengthLimit };
struct DataExchangeRow {
    ExchangeKind kind;
    int controlId;
    int limit;
};
const DataExchangeRow kDataExchangeTable[] = {
    {ExchangeKind::TextTransfer, IDC_RECEIVE_TEXT, 0},
    {ExchangeKind::TextTransfer, IDC_SEND_TEXT, 0},
    {ExchangeKind::Binding, IDC_PORT_LIST, 0},
    {ExchangeKind::Binding, IDC_BAUD_LIST, 0},
    {ExchangeKind::Binding, IDC_MSCOMM, 0},
    {ExchangeKind::LengthLimit, IDC_RECEIVE_TEXT, 2048},
    {ExchangeKind::LengthLimit, IDC_SEND_TEXT, 1024},
    {ExchangeKind::Binding, IDC_PROGRESS, 0},
};

QString IdName(int id) {
    return QString::number(id);
}

} // namespace

const CTavrel_V10Dlg::CommandRow CTavrel_V10Dlg::kCommandTable[] = {
    {EventKind::ButtonClicked, IDC_OPEN_PORT, &CTavrel_V10Dlg::OnOpenPort},
    {EventKind::ButtonClicked, IDC_SEND_DATA, &CTavrel_V10Dlg::OnSendData},
    {EventKind::ButtonClicked, IDC_CLEAR_DATA, &CTavrel_V10Dlg::OnClearData},
    {EventKind::ButtonClicked, IDC_EXIT, &CTavrel_V10Dlg::OnExit},
    {EventKind::ButtonClicked, IDC_SELECT_BIN, &CTavrel_V10Dlg::OnSelectBin},
    {EventKind::ButtonClicked, IDC_WRITE, &CTavrel_V10Dlg::OnWrite},
    {EventKind::ButtonClicked, IDC_BOOT_USER, &CTavrel_V10Dlg::OnBootUserSwitch},
    {EventKind::TextChanged, IDC_RECEIVE_TEXT, &CTavrel_V10Dlg::OnReceiveTextChange},
};

const CTavrel_V10Dlg::EventSinkRow CTavrel_V10Dlg::kEventSinkTable[] = {
    {IDC_MSCOMM, 1, &CTavrel_V10Dlg::OnCommEvent},
};

CTavrel_V10Dlg::CTavrel_V10Dlg(QWidget* parent) : QDialog(parent) {
    m_hIcon = CurrentApplicationIdentity().icon;
    setWindowTitle(QStringLiteral("Kallix-UPDATA  V2.0"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setSizeGripEnabled(false);
    setFont(DialogFont());
    // The serial control starts with the properties stored in the template.
    m_comm.setObjectName(IdName(IDC_MSCOMM));
    CreateControls();
    ConnectTables();
}

CTavrel_V10Dlg::~CTavrel_V10Dlg() {
    // The controls outlive this part of the dialog: QWidget deletes them later, and hiding a
    // text box then shows its last text and says so. Nothing of theirs may reach the handlers.
    for (const auto& [id, control] : m_controls) {
        control->disconnect(this);
    }
}

void CTavrel_V10Dlg::CreateControls() {
    const DialogUnits units(font());
    resize(units.ToPixels(0, 0, kDialogWidthDu, kDialogHeightDu).size());
    QWidget* previousFocusable = nullptr;
    for (const ControlTemplate& t : kControls) {
        const QString caption = QString::fromUtf8(t.caption);
        QWidget* widget = nullptr;
        switch (t.kind) {
        case ControlKind::GroupBox:
            widget = new QGroupBox(caption, this);
            break;
        case ControlKind::Edit: {
            auto* edit = new LimitedTextEdit(this);
            edit->setLineWrapMode(t.wrapLines ? QPlainTextEdit::WidgetWidth
                                              : QPlainTextEdit::NoWrap);
            // A vertical scroll bar only: lines that do not wrap scroll sideways with the
            // cursor, without a bar of their own.
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            widget = edit;
            break;
        }
        case ControlKind::Combo:
            widget = new SortedComboBox(this);
            break;
        case ControlKind::Label: {
            auto* label = new QLabel(caption, this);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(t.alignment | Qt::AlignTop);
            widget = label;
            break;
        }
        case ControlKind::Button: {
            auto* button = new QPushButton(caption, this);
            button->setAutoDefault(false); // no button is the default one
            button->setDefault(false);
            widget = button;
            break;
        }
        case ControlKind::SerialControl:
            // Nothing to see at run time: the control is m_comm; this keeps its place.
            widget = new QWidget(this);
            break;
        case ControlKind::Progress: {
            auto* bar = new QProgressBar(this);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            widget = bar;
            break;
        }
        }
        if (t.id != kNoId) {
            widget->setObjectName(IdName(t.id));
            m_controls[t.id] = widget;
        }
        widget->setGeometry(units.ToPixels(t.x, t.y, t.width, t.height));
        widget->setVisible(t.visible);
        if (widget->focusPolicy() != Qt::NoFocus && t.kind != ControlKind::SerialControl) {
            if (previousFocusable != nullptr) {
                setTabOrder(previousFocusable, widget);
            }
            previousFocusable = widget;
        }
    }
}

QWidget* CTavrel_V10Dlg::GetDlgItem(int id) const {
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

LimitedTextEdit* CTavrel_V10Dlg::TextBox(int id) const {
    return qobject_cast<LimitedTextEdit*>(GetDlgItem(id));
}

QPushButton* CTavrel_V10Dlg::Button(int id) const {
    return qobject_cast<QPushButton*>(GetDlgItem(id));
}

void CTavrel_V10Dlg::ConnectTables() {
    for (const CommandRow& row : kCommandTable) {
        QWidget* control = GetDlgItem(row.controlId);
        const int id = row.controlId;
        if (row.kind == EventKind::ButtonClicked) {
            connect(qobject_cast<QPushButton*>(control), &QPushButton::clicked, this,
                    [this, id] { Dispatch(EventKind::ButtonClicked, id); });
        } else if (row.kind == EventKind::TextChanged) {
            connect(qobject_cast<LimitedTextEdit*>(control), &QPlainTextEdit::textChanged, this,
                    [this, id] { Dispatch(EventKind::TextChanged, id); });
        }
    }
    connect(&m_comm, &CMscomm1::OnComm, this, [this] { DispatchEvent(IDC_MSCOMM, 1); });
}

void CTavrel_V10Dlg::Dispatch(EventKind kind, int controlId) {
    for (const CommandRow& row : kCommandTable) {
        if (row.kind == kind && row.controlId == controlId) {
            RunHandler(row.handler);
            return;
        }
    }
}

void CTavrel_V10Dlg::DispatchEvent(int controlId, int eventId) {
    for (const EventSinkRow& row : kEventSinkTable) {
        if (row.controlId == controlId && row.eventId == eventId) {
            RunHandler(row.handler);
            return;
        }
    }
}

void CTavrel_V10Dlg::RunHandler(void (CTavrel_V10Dlg::*handler)()) {
    // No exception may cross the event loop: the action ends at the failing step, what it did
    // before stays done, and the operator reads the control's description.
    try {
        (this->*handler)();
    } catch (const CommError& error) {
        if (error.kind() == CommError::Kind::PortLost) {
            ReportPortLost();
        } else {
            MessageBox(error.description());
        }
        m_engine.m_closingInterrupted = false; // it has had its one report
    }
}

void CTavrel_V10Dlg::MessageBox(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok,
                    this);
    box.exec();
}

void CTavrel_V10Dlg::ShowLengthWarning(LimitedTextEdit* box, int limit) {
    QMessageBox warning(QMessageBox::Warning, QCoreApplication::applicationName(),
                        QStringLiteral("Please enter no more than %1 characters.").arg(limit),
                        QMessageBox::Ok, this);
    warning.exec();
    box->Flush();
    box->setFocus(Qt::OtherFocusReason);
    box->selectAll();
}

bool CTavrel_V10Dlg::UpdateData(bool save) {
    for (const DataExchangeRow& row : kDataExchangeTable) {
        switch (row.kind) {
        case ExchangeKind::TextTransfer: {
            LimitedTextEdit* box = TextBox(row.controlId);
            if (row.controlId == IDC_RECEIVE_TEXT) {
                if (!save) {
                    box->ShowLog(m_receiveText);
                } else if (!box->ShowsLog(m_receiveText)) {
                    m_receiveText.Assign(box->Text()); // the operator typed into it
                }
            } else if (save) {
                m_sendText = box->Text();
            } else {
                box->SetProgramText(m_sendText);
            }
            break;
        }
        case ExchangeKind::Binding:
            if (row.controlId == IDC_PORT_LIST && m_portList == nullptr) {
                m_portList = qobject_cast<SortedComboBox*>(GetDlgItem(row.controlId));
            } else if (row.controlId == IDC_BAUD_LIST && m_baudList == nullptr) {
                m_baudList = qobject_cast<SortedComboBox*>(GetDlgItem(row.controlId));
            } else if (row.controlId == IDC_PROGRESS && m_progress == nullptr) {
                m_progress = qobject_cast<QProgressBar*>(GetDlgItem(row.controlId));
            }
            break;
        case ExchangeKind::LengthLimit: {
            LimitedTextEdit* box = TextBox(row.controlId);
            const qsizetype length =
                row.controlId == IDC_RECEIVE_TEXT ? m_receiveText.Size() : m_sendText.size();
            if (save && length > row.limit) {
                ShowLengthWarning(box, row.limit);
                return false;
            }
            box->SetLimitText(row.limit);
            break;
        }
        }
    }
    return true;
}

void CTavrel_V10Dlg::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        // Centred on the screen's work area when first shown.
        if (QScreen* screen = this->screen()) {
            const QRect area = screen->availableGeometry();
            move(area.center() - rect().center());
        }
        if (OnInitDialog()) {
            GetDlgItem(IDC_RECEIVE_TEXT)->setFocus(Qt::OtherFocusReason);
        }
    }
    QDialog::showEvent(event);
}

bool CTavrel_V10Dlg::OnInitDialog() {
    UpdateData(false); // binds the controls, empties both boxes, sets their typing limits
    // The About entry: this platform offers no way to extend the window's own system menu, so
    // it lives in the window's context menu (contextMenuEvent) with the same text and command.
    TextBox(IDC_SEND_TEXT)->SetLimitText(0); // lifted until the next exchange
    setWindowIcon(m_hIcon);
    m_store.m_imageReady = 0;
    m_engine.m_currentBlock = 0;
    m_engine.m_progressStep = 0;
    FillLists();
    return true;
}

void CTavrel_V10Dlg::contextMenuEvent(QContextMenuEvent* event) {
    // The window's system menu: its usual entries, then a separator and the About entry.
    QMenu menu(this);
    const bool minimised = isMinimized();
    const bool maximised = isMaximized();
    const struct {
        const char* text;
        unsigned command;
        bool enabled;
    } entries[] = {
        {"&Restore", SC_RESTORE, minimised || maximised}, {"&Move", SC_MOVE, !maximised},
        {"&Size", SC_SIZE, !maximised && !minimised},     {"Mi&nimize", SC_MINIMIZE, !minimised},
        {"Ma&ximize", SC_MAXIMIZE, !maximised},           {"&Close", SC_CLOSE, true}};
    for (const auto& entry : entries) {
        QAction* action = menu.addAction(QString::fromLatin1(entry.text));
        action->setData(entry.command);
        action->setEnabled(entry.enabled);
    }
    const QString aboutText = CurrentApplicationIdentity().aboutMenuText;
    if (!aboutText.isEmpty()) {
        menu.addSeparator();
        menu.addAction(aboutText)->setData(IDM_ABOUTBOX);
    }
    if (QAction* chosen = menu.exec(event->globalPos())) {
        OnSysCommand(chosen->data().toUInt());
    }
}

void CTavrel_V10Dlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        ShowAboutBox();
    } else {
        DefaultSysCommand(id & 0xFFF0);
    }
}

void CTavrel_V10Dlg::DefaultSysCommand(unsigned command) {
    switch (command) {
    case SC_MINIMIZE:
        showMinimized();
        break;
    case SC_MAXIMIZE:
        showMaximized();
        break;
    case SC_RESTORE:
        showNormal();
        break;
    case SC_CLOSE:
        close(); // the title bar's close button: Cancel
        break;
    case SC_MOVE:
        if (QWindow* window = windowHandle()) {
            window->startSystemMove();
        }
        break;
    case SC_SIZE:
        if (QWindow* window = windowHandle()) {
            window->startSystemResize(Qt::RightEdge | Qt::BottomEdge);
        }
        break;
    default:
        break;
    }
}

void CTavrel_V10Dlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        reject(); // no data exchange, the port is not closed first
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter that no control took: a focused button is clicked, otherwise the OK action.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else {
            OnOK();
        }
        return;
    case Qt::Key_F1:
        ShowAboutBox(); // there is no help file; the about box names the tool
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void CTavrel_V10Dlg::OnOK() {
    if (UpdateData(true)) {
        accept();
    }
}

void CTavrel_V10Dlg::OnSendData() {
    UpdateData(true);
}

void CTavrel_V10Dlg::OnReceiveTextChange() {}

void CTavrel_V10Dlg::OnWrite() {
    m_engine.OnWrite();
}

void CTavrel_V10Dlg::OnBootUserSwitch() {
    m_engine.OnBootUserSwitch();
}

void CTavrel_V10Dlg::WritePacket(const QByteArray& packet) {
    m_sinceSwitch.invalidate();
    m_comm.put_Output(packet);
    if (packet.size() == tavrel::kSwitchPacketSize) {
        m_sinceSwitch.start();
    }
}

void CTavrel_V10Dlg::SetProgress(int position) {
    m_progress->setValue(std::clamp(position, m_progress->minimum(), m_progress->maximum()));
}

void CTavrel_V10Dlg::Wait(int milliseconds) {
    QThread::msleep(static_cast<unsigned long>(milliseconds));
    // What the device said meanwhile is handled now, while the engine is still disarmed.
    m_comm.DeliverPendingInput();
}

void CTavrel_V10Dlg::ShowMessage(const QString& text) {
    MessageBox(text);
    // Nothing received may wait past the report: once the engine re-arms, a late "ACK" would
    // start the whole update again.
    m_comm.DeliverPendingInput();
}

void CTavrel_V10Dlg::SaveData() {
    UpdateData(true);
}

void CTavrel_V10Dlg::SetWriteCaption(const QString& caption) {
    Button(IDC_WRITE)->setText(caption);
}

void CTavrel_V10Dlg::ShowAboutBox() {
    if (const auto& show = CurrentApplicationIdentity().showAboutBox) {
        show(this);
    }
}
