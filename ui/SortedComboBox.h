// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An editable drop-down list with the sorted style: an entry added without a position goes to
// its place in text order (compared character by character, so "115200" comes before "1200"),
// while an entry inserted at a position stays there.

#include <QComboBox>

class SortedComboBox : public QComboBox {
    Q_OBJECT

  public:
    static constexpr int CB_ERR = -1;
    static constexpr int CB_ERRSPACE = -2;

    explicit SortedComboBox(QWidget* parent = nullptr);

    // Returns the position the text went to, or CB_ERR / CB_ERRSPACE.
    int AddString(const QString& text);
    int InsertString(int position, const QString& text);
    // The selected entry's position; -1 when none is selected or the field shows typed text
    // that is no entry's.
    int GetCurSel() const;
    void SetCurSel(int position) { setCurrentIndex(position); }
    // The text of the entry at `position`; empty for a position that holds none.
    QString GetLBText(int position) const;

    void showPopup() override;

  Q_SIGNALS:
    // The list is about to drop down: a chance to refresh what the entries stand for.
    void aboutToShowPopup();
};
