// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A multi-line edit box as dialogs have them: Tab moves the focus on, and a typing limit
// restrains only what the operator types or pastes, never text the program sets. It can show a
// DataLog and, when it already shows all but the newest part of it, add only that part.

#include "serial/DataLog.h"

#include <QPlainTextEdit>
#include <QTimer>

class LimitedTextEdit : public QPlainTextEdit {
    Q_OBJECT

  public:
    explicit LimitedTextEdit(QWidget* parent = nullptr);

    void SetLimitText(qsizetype limit) { m_limit = limit; }

    // Puts `text` in the box when it differs from what the box holds.
    void SetProgramText(const QString& text);
    // Shows the log; adds only the new end when the box already shows the rest unchanged.
    void ShowLog(const DataLog& log);
    // True when the box still holds exactly the log it was last given.
    bool ShowsLog(const DataLog& log) const;
    // The box's text as the program reads it back: the log's own line ends, CRs included.
    QString Text() const;
    // Puts the entries shown since the last repaint into the document now (see m_pending).
    void Flush();

  protected:
    bool event(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;
    QMimeData* createMimeDataFromSelection() const override;

  private:
    // A device may send thousands of short answers a second. Repainting the box (its scroll
    // bars above all) after each would cost more than answering the device, so while entries
    // arrive the box repaints at most this often; paints wait, as a window's paints wait for a
    // quiet message queue. The text itself is always up to date.
    static constexpr int kRepaintIntervalMs = 40;
    // A paragraph of the box costs some hundred bytes besides its text, and a log of 40-
    // character lines would spend more on paragraphs than on text. So the lines of the log are
    // kept this many to a paragraph, joined by line separators.
    static constexpr int kLinesPerParagraph = 32;
    // And since each new line lays its paragraph out again, a paragraph of long lines ends
    // sooner.
    static constexpr int kCharsPerParagraph = 4096;
    void DeferRepaint();
    qsizetype RoomLeft() const;
    void Replace(const QString& text);
    // The log's text as the box holds it: every character stays one character, so that the
    // length limit counts what the log counts; a CR is kept as an invisible zero-width space.
    QString ToBox(QStringView logText);
    void OnContentsChange(int position, int removed, int added);

    qsizetype m_limit = 0; // 0: no limit
    bool m_programChange = false;
    bool m_editedByUser = true; // until the program has set a log
    quint64 m_shownRevision = 0;
    qsizetype m_shownBytes = 0;     // of the log's storage
    int m_linesInLastParagraph = 0; // of the text the program set
    qsizetype m_charsInLastParagraph = 0;
    // Entries that arrived since the last repaint, not yet in the document. Each insertion
    // costs the document some hundred bytes of its own, so a device that sends a line per
    // receive event would cost more in insertions than in text; they go in together when the
    // box repaints, or at once when anything reads or touches the box.
    QString m_pending;
    QTimer m_repaint;
};
