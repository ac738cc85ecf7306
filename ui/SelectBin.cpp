// SPDX-License-Identifier: GPL-3.0-or-later
// "Select  bin": the operator picks an image file, which the store reads whole.
#include "ui/CTavrel_V10Dlg.h"

#include "ui/ImageFileDialog.h"

#include <QSettings>

void CTavrel_V10Dlg::OnSelectBin() {
    // The tool stores nothing. Qt's file dialog keeps its history in the user's settings; with
    // the settings pointed below a file, no folder can be made there and nothing is written.
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
    }
    ImageFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFiles); // several may be marked; the first is loaded
    dialog.setNameFilter(QStringLiteral("bin文件(*.bin)"));
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return; // cancelled: nothing changes
    }
    const LoadResult result = m_store.LoadImageFile(dialog.selectedFiles().first());
    if (!result.ok) {
        MessageBox(result.message);
        return;
    }
    m_engine.OnImageLoaded();
}
