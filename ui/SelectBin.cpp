// SPDX-License-Identifier: GPL-3.0-or-later
// "Select  bin": the operator picks an image file, which the store reads whole.
#include "ui/CTavrel_V10Dlg.h"

#include "update/VisibleText.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <sys/stat.h>

namespace {

// The open-file dialog, for names that are bytes: a file whose name is not valid UTF-8 shows
// with replacement characters and, taken as text, does not exist. Such a choice is accepted when
// the name it stands for exists; the load then finds the file by that name.
class ImageFileDialog : public QFileDialog {
  public:
    using QFileDialog::QFileDialog;
    void accept() override {
        const QStringList files = selectedFiles();
        const bool allFoundByBytes =
            !files.isEmpty() && std::all_of(files.begin(), files.end(), [](const QString& file) {
                struct stat info {};
                return !QFileInfo::exists(file) &&
                       ::stat(NativePathOf(file).constData(), &info) == 0 && S_ISREG(info.st_mode);
            });
        if (allFoundByBytes) {
            QDialog::accept();
        } else {
            QFileDialog::accept();
        }
    }
};

} // namespace

void CTavrel_V10Dlg::OnSelectBin() {
    // The tool stores nothing. Qt's file dialog keeps its history in the user's settings; with
    // the settings pointed below a file, no folder can be made there and nothing is written.
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
    }
    ImageFileDialog dialog(this);
    dialog.setOption(QFileDialog::DontUseNativeDialog); // a desktop's own dialog keeps a history
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
