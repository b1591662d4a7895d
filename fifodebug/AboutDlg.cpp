#include "AboutDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

namespace usbfifo {

namespace {

QPixmap IconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    // A chip with a plug: dark body, pins, and two arrows for the two directions.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2b, 0x4a, 0x7a));
    p.drawRoundedRect(QRectF(s * 0.12, s * 0.18, s * 0.76, s * 0.64), s * 0.08, s * 0.08);
    p.setBrush(QColor(0xc8, 0xc8, 0xc8));
    for (int i = 0; i < 4; ++i) {
        const qreal x = s * (0.2 + 0.17 * i);
        p.drawRect(QRectF(x, s * 0.06, s * 0.08, s * 0.12));
        p.drawRect(QRectF(x, s * 0.82, s * 0.08, s * 0.12));
    }
    QPen pen(QColor(0xf0, 0xd0, 0x40), s * 0.07, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.drawLine(QPointF(s * 0.26, s * 0.40), QPointF(s * 0.72, s * 0.40));
    p.drawLine(QPointF(s * 0.60, s * 0.31), QPointF(s * 0.72, s * 0.40));
    p.drawLine(QPointF(s * 0.74, s * 0.60), QPointF(s * 0.28, s * 0.60));
    p.drawLine(QPointF(s * 0.40, s * 0.69), QPointF(s * 0.28, s * 0.60));
    return pixmap;
}

}  // namespace

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) icon.addPixmap(IconPixmap(size));
    return icon;
}

CAboutDlg::CAboutDlg(QWidget* parent, const QString& title) : QDialog(parent) {
    setWindowTitle(title);
    setWindowIcon(AppIcon());
    auto* icon = new QLabel(this);
    icon->setPixmap(IconPixmap(32));
    auto* text = new QLabel(QStringLiteral("UsbFifo V1.1"), this);
    text->setObjectName(QStringLiteral("aboutText"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addSpacing(12);
    row->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
    setSizeGripEnabled(false);
}

}  // namespace usbfifo
