// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The open-file dialog for firmware images, for names that are bytes: a file whose name is not
// valid UTF-8 shows with replacement characters and, taken as text, does not exist. Such a
// choice is accepted when the name it stands for exists (see NativePathOf); the load then finds
// the file by that name. It is always Qt's own dialog: a desktop's dialog would bypass this, and
// keeps a history of its own.

#include <QFileDialog>

class ImageFileDialog : public QFileDialog {
  public:
    explicit ImageFileDialog(QWidget* parent, const QString& caption = {});
    void accept() override;
};
