#include "appicons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kmp {

namespace {

const QColor kTeal(0x0b, 0x6e, 0x6e);

void drawCross(QPainter &p, const QRectF &box, const QColor &colour)
{
    const qreal arm = box.width() / 3.0;
    QPainterPath cross;
    cross.addRect(box.left() + arm, box.top(), arm, box.height());
    cross.addRect(box.left(), box.top() + arm, box.width(), arm);
    cross.setFillRule(Qt::WindingFill);
    p.fillPath(cross.simplified(), colour);
}

QPixmap hostPixmap(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(0.5, 0.5, size - 1.0, size - 1.0);
    p.setPen(Qt::NoPen);
    p.setBrush(kTeal);
    p.drawRoundedRect(r, size * 0.18, size * 0.18);
    const qreal m = size * 0.2;
    drawCross(p, r.adjusted(m, m, -m, -m), Qt::white);
    return pm;
}

QPixmap screenPixmap(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF sheet(size * 0.14, size * 0.06, size * 0.72, size * 0.88);
    p.setPen(QPen(kTeal.darker(130), qMax(1.0, size / 24.0)));
    p.setBrush(Qt::white);
    p.drawRoundedRect(sheet, size * 0.06, size * 0.06);
    const qreal s = sheet.width() * 0.45;
    drawCross(p, QRectF(sheet.center().x() - s / 2, sheet.top() + sheet.height() * 0.12, s, s), kTeal);
    p.setPen(QPen(kTeal.darker(130), qMax(1.0, size / 20.0)));
    for (int i = 0; i < 2; ++i) {
        const qreal y = sheet.top() + sheet.height() * (0.72 + 0.13 * i);
        p.drawLine(QPointF(sheet.left() + sheet.width() * 0.18, y), QPointF(sheet.right() - sheet.width() * 0.18, y));
    }
    return pm;
}

QIcon build(QPixmap (*draw)(int))
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(draw(size));
    return icon;
}

} // namespace

// Built on each call: a pixmap kept in a static would outlive the application object.
QIcon hostIcon()
{
    return build(hostPixmap);
}

QIcon screenIcon()
{
    return build(screenPixmap);
}

} // namespace kmp
