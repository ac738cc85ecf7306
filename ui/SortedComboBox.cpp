// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/SortedComboBox.h"

#include <QLineEdit>

SortedComboBox::SortedComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert); // typed text never becomes an entry
    // No completion as the operator types: it would take the first Enter for itself, which
    // belongs to the dialog.
    setCompleter(nullptr);
    setMaxVisibleItems(30);
}

int SortedComboBox::AddString(const QString& text) {
    if (count() >= maxCount()) {
        return CB_ERRSPACE;
    }
    int position = 0;
    // Character by character and regardless of case, as the classic sorted list compares.
    while (position < count() && itemText(position).compare(text, Qt::CaseInsensitive) <= 0) {
        ++position;
    }
    insertItem(position, text);
    return position;
}

int SortedComboBox::InsertString(int position, const QString& text) {
    if (count() >= maxCount()) {
        return CB_ERRSPACE;
    }
    if (position < -1 || position > count()) {
        return CB_ERR;
    }
    const int at = position == -1 ? count() : position;
    insertItem(at, text);
    return at;
}

int SortedComboBox::GetCurSel() const {
    // Typing into the field ends the selection, unless the text typed is an entry's.
    const QString shown = currentText();
    if (currentIndex() >= 0 && itemText(currentIndex()) == shown) {
        return currentIndex();
    }
    return findText(shown, Qt::MatchFixedString);
}

QString SortedComboBox::GetLBText(int position) const {
    return (position >= 0 && position < count()) ? itemText(position) : QString();
}

void SortedComboBox::showPopup() {
    Q_EMIT aboutToShowPopup();
    QComboBox::showPopup();
}
