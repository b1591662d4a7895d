#include "AboutDlg.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include "DialogFields.h"
#include "KT300Doc.h"
#include "Resource.h"

namespace stagedesk {

CAboutDlg::CAboutDlg(const CKT300Doc* doc, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About stagedesk"));
    setFixedSize(360, 130);
    // The icon has no text of its own, so it carries no control id.
    auto* icon = new QLabel(this);
    icon->setGeometry(20, 20, 48, 48);
    icon->setPixmap(windowIcon().isNull()
                        ? style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32)
                        : windowIcon().pixmap(32, 32));
    MakeControl<QLabel>(this, IDC_ABOUT_TEXT, QRect(84, 20, 260, 24),
                        QString::fromUtf8("stagedesk版"));
    auto* ok = MakeControl<QPushButton>(this, IDOK, QRect(250, 88, 96, 30), QStringLiteral("OK"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    if (doc != nullptr) doc->ApplyDialogTexts(this, IDD_ABOUTBOX);
}

}  // namespace stagedesk
