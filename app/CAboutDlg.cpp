// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CAboutDlg.h"

#include "app/Resources.h"
#include "app/Version.h"
#include "ui/DialogUnits.h"

#include <QLabel>
#include <QPushButton>

namespace {
struct Item {
    int x, y, width, height;
};
constexpr Item kDialog{0, 0, 170, 62};
constexpr Item kIcon{14, 14, 20, 20};
constexpr Item kName{42, 14, 114, 8};
constexpr Item kNotice{42, 26, 114, 8};
constexpr Item kOk{113, 41, 50, 14};
} // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("关于 Tavrel_V2.0"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFont(DialogFont());
    const DialogUnits units(font());
    auto place = [&](QWidget* widget, const Item& item) {
        widget->setGeometry(units.ToPixels(item.x, item.y, item.width, item.height));
    };
    setFixedSize(units.ToPixels(0, 0, kDialog.width, kDialog.height).size());

    auto* icon = new QLabel(this);
    const QRect iconRect = units.ToPixels(kIcon.x, kIcon.y, kIcon.width, kIcon.height);
    icon->setPixmap(ApplicationIcon().pixmap(32, 32));
    icon->setGeometry(
        QRect(iconRect.topLeft(), QSize(32, 32))); // the control takes the icon's size

    auto* name = new QLabel(QStringLiteral("Tavrel_V2.0，2.0 版"), this);
    name->setTextFormat(Qt::PlainText); // an ampersand shows as itself
    place(name, kName);

    auto* notice = new QLabel(
        QStringLiteral("Firmware updater %1").arg(tavrel::VersionValue("FileVersion")), this);
    notice->setTextFormat(Qt::PlainText);
    place(notice, kNotice);

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setDefault(true);
    ok->setObjectName(QStringLiteral("1"));
    place(ok, kOk);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
