#include "ui/Glyphs.hpp"

#include <QPainter>
#include <QPainterPath>

namespace ui {

namespace {

const QColor kNavy(0, 0, 128);
const QColor kRed(200, 30, 30);
const QColor kGreen(20, 140, 40);
const QColor kFolder(230, 180, 60);

void Cross(QPainter& p, QRectF r, const QColor& c)
{
    p.setPen(QPen(c, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(r.topLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomLeft());
}

void Folder(QPainter& p, QRectF r)
{
    QPainterPath path;
    path.moveTo(r.left(), r.top() + 3);
    path.lineTo(r.left() + r.width() * 0.4, r.top() + 3);
    path.lineTo(r.left() + r.width() * 0.5, r.top() + 6);
    path.lineTo(r.right(), r.top() + 6);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.setPen(QPen(kFolder.darker(150), 1));
    p.setBrush(kFolder);
    p.drawPath(path);
}

void Page(QPainter& p, QRectF r)
{
    p.setPen(QPen(Qt::darkGray, 1));
    p.setBrush(Qt::white);
    p.drawRect(r);
    p.setPen(QPen(QColor(150, 150, 200), 1));
    for (qreal y = r.top() + 4; y < r.bottom() - 2; y += 3)
        p.drawLine(QPointF(r.left() + 2, y), QPointF(r.right() - 2, y));
}

void Plug(QPainter& p, const QColor& c)
{
    // Two screens joined by a line: a connection.
    p.setPen(QPen(kNavy, 1.5));
    p.setBrush(QColor(180, 200, 240));
    p.drawRect(QRectF(2, 3, 9, 7));
    p.drawRect(QRectF(13, 13, 9, 7));
    p.setPen(QPen(c, 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8, 11), QPointF(8, 16));
    p.drawLine(QPointF(8, 16), QPointF(12, 16));
}

void Arrow(QPainter& p, QPointF from, QPointF to, const QColor& c)
{
    p.setPen(QPen(c, 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(from, to);
    const QLineF line(to, from);
    QLineF a = line;
    a.setLength(6);
    a.setAngle(line.angle() + 35);
    QLineF b = line;
    b.setLength(6);
    b.setAngle(line.angle() - 35);
    p.drawLine(a);
    p.drawLine(b);
}

QPixmap Draw(TGlyph glyph)
{
    QPixmap pm(24, 24);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (glyph) {
    case glConnect:
        Plug(p, kGreen);
        break;
    case glDisconnect:
        Plug(p, Qt::gray);
        Cross(p, QRectF(13, 2, 8, 8), kRed);
        break;
    case glAddSite:
    case glEditSite:
    case glDeleteSite:
        p.setPen(QPen(kNavy, 1.5));
        p.setBrush(QColor(120, 170, 230));
        p.drawEllipse(QRectF(2, 4, 15, 15));
        p.drawLine(QPointF(2, 11.5), QPointF(17, 11.5));
        p.drawEllipse(QRectF(6, 4, 7, 15));
        if (glyph == glAddSite) {
            p.setPen(QPen(kGreen, 3, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(19, 13), QPointF(19, 22));
            p.drawLine(QPointF(15, 17.5), QPointF(23, 17.5));
        } else if (glyph == glEditSite) {
            p.setPen(QPen(QColor(200, 120, 20), 3, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(13, 22), QPointF(22, 13));
        } else {
            Cross(p, QRectF(15, 14, 7, 7), kRed);
        }
        break;
    case glPrevious:
        Folder(p, QRectF(2, 6, 20, 15));
        Arrow(p, QPointF(12, 20), QPointF(12, 4), kGreen);
        break;
    case glNewFolder:
        Folder(p, QRectF(2, 6, 20, 15));
        p.setPen(QPen(Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(12, 11), QPointF(12, 19));
        p.drawLine(QPointF(8, 15), QPointF(16, 15));
        break;
    case glCopy:
        Page(p, QRectF(3, 2, 11, 14));
        Page(p, QRectF(10, 8, 11, 14));
        break;
    case glPaste:
        p.setPen(QPen(QColor(120, 80, 30), 1));
        p.setBrush(QColor(190, 140, 70));
        p.drawRect(QRectF(3, 4, 14, 18));
        p.setBrush(Qt::gray);
        p.drawRect(QRectF(7, 2, 6, 4));
        Page(p, QRectF(10, 9, 11, 13));
        break;
    case glDelete:
        Page(p, QRectF(3, 2, 13, 18));
        Cross(p, QRectF(12, 12, 9, 9), kRed);
        break;
    case glRefresh: {
        p.setPen(QPen(kGreen, 2.5, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(4, 4, 16, 16), 30 * 16, 300 * 16);
        QPainterPath head;
        head.moveTo(20, 3);
        head.lineTo(21, 10);
        head.lineTo(14, 9);
        head.closeSubpath();
        p.setBrush(kGreen);
        p.setPen(Qt::NoPen);
        p.drawPath(head);
        break;
    }
    case glQueue:
        for (int i = 0; i < 4; ++i) {
            p.setPen(Qt::NoPen);
            p.setBrush(kNavy);
            p.drawRect(QRectF(3, 4 + i * 5, 3, 3));
            p.setBrush(QColor(110, 110, 110));
            p.drawRect(QRectF(8, 4.5 + i * 5, 13, 2));
        }
        break;
    case glPreview:
        p.setPen(QPen(Qt::darkGray, 1));
        p.setBrush(QColor(170, 210, 250));
        p.drawRect(QRectF(2, 4, 20, 16));
        p.setBrush(kGreen);
        p.setPen(Qt::NoPen);
        {
            QPainterPath hill;
            hill.moveTo(3, 19);
            hill.lineTo(10, 10);
            hill.lineTo(15, 16);
            hill.lineTo(18, 13);
            hill.lineTo(21, 19);
            hill.closeSubpath();
            p.drawPath(hill);
        }
        p.setBrush(QColor(250, 210, 40));
        p.drawEllipse(QRectF(15, 6, 4, 4));
        break;
    case glStop: {
        QPainterPath oct;
        for (int i = 0; i < 8; ++i) {
            const QLineF ray = QLineF::fromPolar(10, 22.5 + 45 * i).translated(12, 12);
            i == 0 ? oct.moveTo(ray.p2()) : oct.lineTo(ray.p2());
        }
        oct.closeSubpath();
        p.setPen(QPen(Qt::white, 1));
        p.setBrush(kRed);
        p.drawPath(oct);
        p.setPen(QPen(Qt::white, 2.5));
        p.drawLine(QPointF(7, 12), QPointF(17, 12));
        break;
    }
    }
    return pm;
}

} // namespace

QIcon Glyph(TGlyph glyph)
{
    QIcon icon;
    const QPixmap normal = Draw(glyph);
    icon.addPixmap(normal, QIcon::Normal);
    return icon;
}

QPixmap LogoPixmap(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 40.0, size / 40.0);
    p.setPen(Qt::NoPen);
    p.setBrush(kNavy);
    p.drawRoundedRect(QRectF(1, 1, 38, 38), 7, 7);
    // Two arrows, up and down: files going both ways.
    p.setPen(QPen(QColor(255, 210, 60), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(14, 31), QPointF(14, 10));
    p.drawLine(QPointF(14, 10), QPointF(8, 16));
    p.drawLine(QPointF(14, 10), QPointF(20, 16));
    p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(26, 9), QPointF(26, 30));
    p.drawLine(QPointF(26, 30), QPointF(20, 24));
    p.drawLine(QPointF(26, 30), QPointF(32, 24));
    return pm;
}

} // namespace ui
