#include "ui/SortedComboBox.h"

#include <QLineEdit>

SortedComboBox::SortedComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert); // typed text never becomes an entry
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

QString SortedComboBox::GetLBText(int position) const {
    return (position >= 0 && position < count()) ? itemText(position) : QString();
}

void SortedComboBox::showPopup() {
    Q_EMIT aboutToShowPopup();
    QComboBox::showPopup();
}
