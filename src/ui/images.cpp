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

namespace {

// A disc of colour the size of the compiled marks, for a drawn sign on it.
void drawDisc(QPainter* painter, const QColor& colour) {
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(colour);
    painter->drawEllipse(QRectF(0.5, 0.5, 19, 19));
}

}  // namespace

QPixmap rebuildMark() {
    QImage image(20, 20, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    drawDisc(&painter, QColor(0xe0, 0x96, 0x1a));
    QPen pen(Qt::white, 2.4);
    pen.setCapStyle(Qt::FlatCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // Two thirds of a circle, open at the upper right, its head on the right pointing up.
    painter.drawArc(QRectF(5, 5, 10, 10), 110 * 16, 240 * 16);
    QPainterPath head;
    head.moveTo(15.0, 5.4);
    head.lineTo(11.0, 11.2);
    head.lineTo(19.0, 10.6);
    head.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawPath(head);
    painter.end();
    return QPixmap::fromImage(image);
}

QPixmap uncheckedMark() {
    QImage image(20, 20, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    drawDisc(&painter, QColor(0x9a, 0x9a, 0x9a));
    QPen pen(Qt::white, 2.2);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    const QPointF tick[] = {{5.5, 10.5}, {8.5, 13.5}, {14.5, 6.5}};
    painter.drawPolyline(tick, 3);
    painter.end();
    return QPixmap::fromImage(image);
}
