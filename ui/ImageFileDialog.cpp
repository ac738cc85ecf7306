// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/ImageFileDialog.h"

#include "base/VisibleText.h"

#include <QFileInfo>
#include <algorithm>
#include <sys/stat.h>

ImageFileDialog::ImageFileDialog(QWidget* parent, const QString& caption)
    : QFileDialog(parent, caption) {
    setOption(QFileDialog::DontUseNativeDialog);
}

void ImageFileDialog::accept() {
    const QStringList files = selectedFiles();
    const bool allFoundByBytes =
        !files.isEmpty() && std::all_of(files.begin(), files.end(), [](const QString& file) {
            struct stat info {};
            return !QFileInfo::exists(file) && ::stat(NativePathOf(file).constData(), &info) == 0 &&
                   S_ISREG(info.st_mode);
        });
    if (allFoundByBytes) {
        QDialog::accept();
    } else {
        QFileDialog::accept();
    }
}
