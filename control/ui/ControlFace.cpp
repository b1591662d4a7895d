#include "ControlFace.h"

#include <QPainter>
#include <QPixmap>

namespace korva::ui {

namespace {

void PaintFace(QPainter& painter, const QRect& rect) {
    painter.fillRect(rect, Qt::white);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::NoBrush);
    // The outline's right and bottom edges sit on the last pixel row/column.
    painter.drawEllipse(rect.adjusted(0, 0, -1, -1));
}

}  // namespace

CKORVAKT3002Face::CKORVAKT3002Face(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void CKORVAKT3002Face::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintFace(painter, rect());
}

QIcon ControlIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        PaintFace(painter, QRect(0, size / 6, size, size - 2 * (size / 6)));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace korva::ui
