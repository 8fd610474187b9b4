#include "ui/images.h"

#include <QPainter>
#include <QPainterPath>
#include <QString>

void ensureImages() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(images);
        return true;
    }();
    (void)registered;
}

QIcon programIcon() {
    ensureImages();
    return QIcon(QStringLiteral(":/image/program.ico"));
}

QPixmap rebuildMark() {
    QImage image(20, 20, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xe0, 0x96, 0x1a));
    painter.drawEllipse(QRectF(0.5, 0.5, 19, 19));
    QPen pen(Qt::white, 2.2);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // Three quarters of a circle, its open end at the upper right, with the arrow's head there.
    painter.drawArc(QRectF(5, 5, 10, 10), 60 * 16, 270 * 16);
    QPainterPath head;
    head.moveTo(15.8, 3.6);
    head.lineTo(15.6, 8.6);
    head.lineTo(11.0, 7.2);
    head.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawPath(head);
    painter.end();
    return QPixmap::fromImage(image);
}
