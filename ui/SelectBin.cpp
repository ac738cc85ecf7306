// "Select  bin": the operator picks an image file, which the store reads whole.
#include "ui/CTavrel_V10Dlg.h"

#include <QFileDialog>

void CTavrel_V10Dlg::OnSelectBin() {
    QFileDialog dialog(this);
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
    }
}
