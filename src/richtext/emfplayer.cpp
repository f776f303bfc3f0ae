#include "emfplayer.h"

#include "picturedecoder.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace kmp::rtf::detail {

namespace {

constexpr int kMaxRenderSide = 2000;
constexpr int kMaxObjects = 4096;
constexpr int kMaxSavedStates = 64;
constexpr qsizetype kMaxRecords = 1'000'000;

enum Record : quint32 {
    Header = 1,
    PolyBezier = 2,
    Polygon = 3,
    Polyline = 4,
    PolyBezierTo = 5,
    PolylineTo = 6,
    PolyPolyline = 7,
    PolyPolygon = 8,
    SetWindowExt = 9,
    SetWindowOrg = 10,
    SetViewportExt = 11,
    SetViewportOrg = 12,
    Eof = 14,
    SetMapMode = 17,
    SetBkMode = 18,
    SetPolyFillMode = 19,
    SetTextAlign = 22,
    SetTextColor = 24,
    MoveTo = 27,
    SaveDc = 33,
    RestoreDc = 34,
    SetWorldTransform = 35,
    ModifyWorldTransform = 36,
    SelectObject = 37,
    CreatePen = 38,
    CreateBrush = 39,
    DeleteObject = 40,
    Ellipse = 42,
    Rectangle = 43,
    RoundRect = 44,
    LineTo = 54,
    BeginPath = 59,
    EndPath = 60,
    CloseFigure = 61,
    FillPath = 62,
    StrokeAndFillPath = 63,
    StrokePath = 64,
    BitBlt = 76,
    StretchBlt = 77,
    StretchDiBits = 81,
    CreateFont = 82,
    ExtTextOutW = 84,
    PolyBezier16 = 85,
    Polygon16 = 86,
    Polyline16 = 87,
    PolyBezierTo16 = 88,
    PolylineTo16 = 89,
    PolyPolyline16 = 90,
    PolyPolygon16 = 91,
    ExtCreatePen = 95,
};

QColor colorRef(quint32 c)
{
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

struct GdiObject
{
    enum Kind : quint8 { None, Pen, Brush, Font } kind = None;
    QPen pen;
    QBrush brush;
    QFont font;
};

struct DcState
{
    QPointF windowOrg{0, 0}, viewportOrg{0, 0};
    QSizeF windowExt{1, 1}, viewportExt{1, 1};
    bool scaled = false; // map mode with extents (isotropic or anisotropic)
    QTransform world;
    QPen pen{Qt::black, 0};
    QBrush brush{Qt::white};
    QFont font;
    QColor textColor{Qt::black};
    quint32 textAlign = 0;
    Qt::FillRule fill = Qt::OddEvenFill;
};

class Player
{
public:
    Player(const QByteArray &data, QImage *image)
        : m_data(reinterpret_cast<const uchar *>(data.constData())), m_size(data.size()), m_image(image)
    {
    }

    bool play();

private:
    bool has(qsizetype rec, qsizetype recSize, qsizetype offset, qsizetype bytes) const
    {
        return offset >= 0 && bytes >= 0 && offset + bytes <= recSize && rec + offset + bytes <= m_size;
    }
    quint32 u32(qsizetype at) const { return qFromLittleEndian<quint32>(m_data + at); }
    qint32 i32(qsizetype at) const { return qFromLittleEndian<qint32>(m_data + at); }
    qint16 i16(qsizetype at) const { return qFromLittleEndian<qint16>(m_data + at); }
    float f32(qsizetype at) const
    {
        const quint32 bits = u32(at);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return std::isfinite(f) ? f : 0.0f;
    }

    void record(quint32 type, qsizetype at, qsizetype size);
    void applyTransform();
    QTransform pageToDevice() const;
    void selectObject(quint32 handle);
    QPolygonF points(qsizetype at, quint32 count, bool small) const;
    void drawPoly(quint32 type, qsizetype at, qsizetype size, bool small);
    void drawPolyPoly(quint32 type, qsizetype at, qsizetype size, bool small);
    void drawBitmap(qsizetype at, qsizetype size, QRectF dest, QRectF src, qsizetype offBmi, qsizetype cbBmi, qsizetype offBits,
                    qsizetype cbBits);
    void drawText(qsizetype at, qsizetype size);
    void fillOrStroke(const QPainterPath &shape, bool fill, bool stroke);

    const uchar *m_data;
    qsizetype m_size;
    QImage *m_image;
    QPainter m_painter;
    QTransform m_deviceToImage;
    DcState m_dc;
    std::vector<DcState> m_saved;
    std::vector<GdiObject> m_objects;
    QPointF m_current;
    QPainterPath m_path;
    bool m_inPath = false;
};

bool Player::play()
{
    // The header: type 1, then the bounds, the frame in 0.01 mm, the " EMF"
    // signature and the reference device's size in pixels and millimetres.
    if (m_size < 88 || u32(0) != Header || u32(40) != 0x464D4520u)
        return false;
    const qsizetype headerSize = u32(4);
    if (headerSize < 88 || headerSize > m_size)
        return false;
    const QRectF frame(QPointF(i32(24), i32(28)), QPointF(i32(32), i32(36)));
    const double devW = i32(72), devH = i32(76), mmW = i32(80), mmH = i32(84);
    if (frame.width() <= 0 || frame.height() <= 0 || devW <= 0 || devH <= 0 || mmW <= 0 || mmH <= 0)
        return false;
    // The frame in the reference device's pixels is what the picture covers.
    const QRectF device(frame.left() * devW / mmW / 100.0, frame.top() * devH / mmH / 100.0, frame.width() * devW / mmW / 100.0,
                        frame.height() * devH / mmH / 100.0);
    m_deviceToImage = QTransform::fromScale(m_image->width() / device.width(), m_image->height() / device.height());
    m_deviceToImage.translate(-device.left(), -device.top());

    m_image->fill(Qt::transparent);
    if (!m_painter.begin(m_image))
        return false;
    m_painter.setRenderHint(QPainter::Antialiasing);
    m_painter.setRenderHint(QPainter::SmoothPixmapTransform);
    applyTransform();
    qsizetype at = headerSize;
    for (qsizetype n = 0; n < kMaxRecords && at + 8 <= m_size; ++n) {
        const quint32 type = u32(at);
        const qsizetype size = u32(at + 4);
        if (size < 8 || size % 4 != 0 || at + size > m_size)
            break;
        if (type == Eof)
            break;
        record(type, at, size);
        at += size;
    }
    m_painter.end();
    return true;
}

QTransform Player::pageToDevice() const
{
    QTransform t;
    t.translate(m_dc.viewportOrg.x(), m_dc.viewportOrg.y());
    if (m_dc.scaled && m_dc.windowExt.width() != 0 && m_dc.windowExt.height() != 0)
        t.scale(m_dc.viewportExt.width() / m_dc.windowExt.width(), m_dc.viewportExt.height() / m_dc.windowExt.height());
    t.translate(-m_dc.windowOrg.x(), -m_dc.windowOrg.y());
    return t;
}

void Player::applyTransform()
{
    m_painter.setTransform(m_dc.world * pageToDevice() * m_deviceToImage);
}

void Player::selectObject(quint32 handle)
{
    if (handle & 0x80000000u) {
        switch (handle & 0x7FFFFFFFu) {
        case 0: m_dc.brush = QBrush(Qt::white); break;
        case 1: m_dc.brush = QBrush(QColor(192, 192, 192)); break;
        case 2: m_dc.brush = QBrush(QColor(128, 128, 128)); break;
        case 3: m_dc.brush = QBrush(QColor(64, 64, 64)); break;
        case 4: m_dc.brush = QBrush(Qt::black); break;
        case 5: m_dc.brush = Qt::NoBrush; break;
        case 6: m_dc.pen = QPen(Qt::white, 0); break;
        case 7: m_dc.pen = QPen(Qt::black, 0); break;
        case 8: m_dc.pen = Qt::NoPen; break;
        default: m_dc.font = QFont(); break;
        }
        return;
    }
    if (handle >= m_objects.size())
        return;
    const GdiObject &o = m_objects[handle];
    if (o.kind == GdiObject::Pen)
        m_dc.pen = o.pen;
    else if (o.kind == GdiObject::Brush)
        m_dc.brush = o.brush;
    else if (o.kind == GdiObject::Font)
        m_dc.font = o.font;
}

QPolygonF Player::points(qsizetype at, quint32 count, bool small) const
{
    QPolygonF poly;
    poly.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        if (small)
            poly << QPointF(i16(at + i * 4), i16(at + i * 4 + 2));
        else
            poly << QPointF(i32(at + i * 8), i32(at + i * 8 + 4));
    }
    return poly;
}

void Player::fillOrStroke(const QPainterPath &shape, bool fill, bool stroke)
{
    if (fill && m_dc.brush.style() != Qt::NoBrush)
        m_painter.fillPath(shape, m_dc.brush);
    if (stroke && m_dc.pen.style() != Qt::NoPen)
        m_painter.strokePath(shape, m_dc.pen);
}

void Player::drawPoly(quint32 type, qsizetype at, qsizetype size, bool small)
{
    if (!has(at, size, 24, 4))
        return;
    const quint32 count = u32(at + 24);
    const qsizetype bytes = qsizetype(count) * (small ? 4 : 8);
    if (count == 0 || !has(at, size, 28, bytes))
        return;
    const QPolygonF poly = points(at + 28, count, small);
    QPainterPath path;
    const bool continues = type == PolyBezierTo || type == PolylineTo || type == PolyBezierTo16 || type == PolylineTo16;
    const bool bezier = type == PolyBezier || type == PolyBezierTo || type == PolyBezier16 || type == PolyBezierTo16;
    qsizetype first = 0;
    if (continues) {
        path.moveTo(m_current);
    } else {
        path.moveTo(poly.first());
        first = 1;
    }
    if (bezier) {
        for (qsizetype i = first; i + 2 < poly.size(); i += 3)
            path.cubicTo(poly[i], poly[i + 1], poly[i + 2]);
    } else {
        for (qsizetype i = first; i < poly.size(); ++i)
            path.lineTo(poly[i]);
    }
    if (continues)
        m_current = poly.last();
    const bool closed = type == Polygon || type == Polygon16;
    if (closed)
        path.closeSubpath();
    if (m_inPath) {
        m_path.addPath(path);
        return;
    }
    path.setFillRule(m_dc.fill);
    fillOrStroke(path, closed, true);
}

void Player::drawPolyPoly(quint32 type, qsizetype at, qsizetype size, bool small)
{
    if (!has(at, size, 24, 8))
        return;
    const quint32 polys = u32(at + 24);
    const quint32 total = u32(at + 28);
    const qsizetype countsAt = 32;
    const qsizetype pointsAt = countsAt + qsizetype(polys) * 4;
    if (polys == 0 || !has(at, size, countsAt, qsizetype(polys) * 4)
        || !has(at, size, pointsAt, qsizetype(total) * (small ? 4 : 8)))
        return;
    const QPolygonF all = points(at + pointsAt, total, small);
    QPainterPath path;
    path.setFillRule(m_dc.fill);
    qsizetype next = 0;
    for (quint32 p = 0; p < polys; ++p) {
        const quint32 n = u32(at + countsAt + p * 4);
        if (n == 0 || next + n > all.size())
            break;
        QPolygonF one = all.mid(next, n);
        next += n;
        if (type == PolyPolygon || type == PolyPolygon16) {
            path.addPolygon(one);
            path.closeSubpath();
        } else {
            path.moveTo(one.first());
            for (const QPointF &pt : one)
                path.lineTo(pt);
        }
    }
    if (m_inPath) {
        m_path.addPath(path);
        return;
    }
    fillOrStroke(path, type == PolyPolygon || type == PolyPolygon16, true);
}

void Player::drawBitmap(qsizetype at, qsizetype size, QRectF dest, QRectF src, qsizetype offBmi, qsizetype cbBmi,
                        qsizetype offBits, qsizetype cbBits)
{
    if (cbBmi < 12 || !has(at, size, offBmi, cbBmi) || !has(at, size, offBits, cbBits))
        return;
    QByteArray dib(reinterpret_cast<const char *>(m_data + at + offBmi), cbBmi);
    dib.append(reinterpret_cast<const char *>(m_data + at + offBits), cbBits);
    const QImage bitmap = decodePicture(PictureKind::Dib, dib, QSize());
    if (bitmap.isNull())
        return;
    if (!src.isValid() || src.isEmpty())
        src = bitmap.rect();
    m_painter.drawImage(dest.normalized(), bitmap, src);
}

void Player::drawText(qsizetype at, qsizetype size)
{
    if (!has(at, size, 36, 40))
        return;
    const QPointF reference(i32(at + 36), i32(at + 40));
    const quint32 chars = u32(at + 44);
    const qsizetype offString = u32(at + 48);
    if (chars == 0 || chars > 8192 || !has(at, size, offString, qsizetype(chars) * 2))
        return;
    QString text(qsizetype(chars), Qt::Uninitialized);
    for (quint32 i = 0; i < chars; ++i)
        text[i] = QChar(qFromLittleEndian<quint16>(m_data + at + offString + i * 2));
    // Glyphs stand upright whatever way the axes point: place the reference
    // point through the transforms, then draw at the size the font has there.
    const QTransform t = m_painter.transform();
    const QPointF where = t.map(reference);
    QFont font = m_dc.font;
    const double scale = std::hypot(t.m12(), t.m22());
    const double px = std::clamp(font.pixelSize() > 0 ? font.pixelSize() * scale : 12.0, 1.0, 2000.0);
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(px))));
    const QFontMetricsF metrics(font);
    QPointF origin = where;
    // QPainter draws from the baseline; the reference point may be the top
    // (the default) or the bottom of the text instead.
    const quint32 align = m_dc.textAlign;
    if ((align & 24) == 8)
        origin.ry() -= metrics.descent();
    else if ((align & 24) == 0)
        origin.ry() += metrics.ascent();
    const double width = metrics.horizontalAdvance(text);
    if ((align & 6) == 6)
        origin.rx() -= width / 2;
    else if (align & 2)
        origin.rx() -= width;
    m_painter.save();
    m_painter.resetTransform();
    m_painter.setFont(font);
    m_painter.setPen(m_dc.textColor);
    m_painter.drawText(origin, text);
    m_painter.restore();
}

void Player::record(quint32 type, qsizetype at, qsizetype size)
{
    switch (type) {
    case SetWindowExt:
    case SetWindowOrg:
    case SetViewportExt:
    case SetViewportOrg:
        if (!has(at, size, 8, 8))
            return;
        if (type == SetWindowExt)
            m_dc.windowExt = QSizeF(i32(at + 8), i32(at + 12));
        else if (type == SetWindowOrg)
            m_dc.windowOrg = QPointF(i32(at + 8), i32(at + 12));
        else if (type == SetViewportExt)
            m_dc.viewportExt = QSizeF(i32(at + 8), i32(at + 12));
        else
            m_dc.viewportOrg = QPointF(i32(at + 8), i32(at + 12));
        applyTransform();
        return;
    case SetMapMode:
        if (has(at, size, 8, 4)) {
            const quint32 mode = u32(at + 8);
            m_dc.scaled = mode == 7 || mode == 8;
            applyTransform();
        }
        return;
    case SetWorldTransform:
    case ModifyWorldTransform: {
        if (!has(at, size, 8, 24))
            return;
        const QTransform x(f32(at + 8), f32(at + 12), f32(at + 16), f32(at + 20), f32(at + 24), f32(at + 28));
        const quint32 mode = type == ModifyWorldTransform && has(at, size, 32, 4) ? u32(at + 32) : 4;
        if (mode == 1)
            m_dc.world = QTransform();
        else if (mode == 2)
            m_dc.world = x * m_dc.world;
        else if (mode == 3)
            m_dc.world = m_dc.world * x;
        else if (mode == 4 || type == SetWorldTransform)
            m_dc.world = x;
        applyTransform();
        return;
    }
    case SaveDc:
        if (m_saved.size() < kMaxSavedStates)
            m_saved.push_back(m_dc);
        return;
    case RestoreDc:
        if (!m_saved.empty()) {
            m_dc = m_saved.back();
            m_saved.pop_back();
            applyTransform();
        }
        return;
    case SetBkMode: return;
    case SetPolyFillMode:
        if (has(at, size, 8, 4))
            m_dc.fill = u32(at + 8) == 2 ? Qt::WindingFill : Qt::OddEvenFill;
        return;
    case SetTextAlign:
        if (has(at, size, 8, 4))
            m_dc.textAlign = u32(at + 8);
        return;
    case SetTextColor:
        if (has(at, size, 8, 4))
            m_dc.textColor = colorRef(u32(at + 8));
        return;
    case SelectObject:
        if (has(at, size, 8, 4))
            selectObject(u32(at + 8));
        return;
    case DeleteObject:
        if (has(at, size, 8, 4) && u32(at + 8) < m_objects.size())
            m_objects[u32(at + 8)] = GdiObject();
        return;
    case CreatePen:
    case ExtCreatePen:
    case CreateBrush:
    case CreateFont: {
        if (!has(at, size, 8, 4))
            return;
        const quint32 handle = u32(at + 8);
        if (handle >= kMaxObjects)
            return;
        if (handle >= m_objects.size())
            m_objects.resize(handle + 1);
        GdiObject o;
        if (type == CreatePen && has(at, size, 12, 16)) {
            o.kind = GdiObject::Pen;
            const quint32 style = u32(at + 12) & 0xF;
            o.pen = style == 5 ? QPen(Qt::NoPen) : QPen(colorRef(u32(at + 24)), std::max(0, i32(at + 16)));
        } else if (type == ExtCreatePen && has(at, size, 28, 16)) {
            o.kind = GdiObject::Pen;
            const quint32 style = u32(at + 28) & 0xF;
            o.pen = style == 5 ? QPen(Qt::NoPen) : QPen(colorRef(u32(at + 40)), std::max(0, i32(at + 32)));
        } else if (type == CreateBrush && has(at, size, 12, 8)) {
            o.kind = GdiObject::Brush;
            o.brush = u32(at + 12) == 1 ? QBrush(Qt::NoBrush) : QBrush(colorRef(u32(at + 16)));
        } else if (type == CreateFont && has(at, size, 12, 92)) {
            o.kind = GdiObject::Font;
            QString face;
            for (int i = 0; i < 32; ++i) {
                const quint16 ch = qFromLittleEndian<quint16>(m_data + at + 40 + i * 2);
                if (ch == 0)
                    break;
                face += QChar(ch);
            }
            if (!face.isEmpty())
                o.font.setFamilies({face});
            o.font.setPixelSize(std::clamp(std::abs(i32(at + 12)), 1, 100000));
            o.font.setWeight(QFont::Weight(std::clamp(i32(at + 28) > 0 ? i32(at + 28) : 400, 100, 900)));
            o.font.setItalic(m_data[at + 32] != 0);
            o.font.setUnderline(m_data[at + 33] != 0);
            o.font.setStrikeOut(m_data[at + 34] != 0);
        }
        m_objects[handle] = o;
        return;
    }
    case MoveTo:
        if (has(at, size, 8, 8)) {
            m_current = QPointF(i32(at + 8), i32(at + 12));
            if (m_inPath)
                m_path.moveTo(m_current);
        }
        return;
    case LineTo:
        if (has(at, size, 8, 8)) {
            const QPointF to(i32(at + 8), i32(at + 12));
            if (m_inPath) {
                m_path.lineTo(to);
            } else if (m_dc.pen.style() != Qt::NoPen) {
                m_painter.setPen(m_dc.pen);
                m_painter.drawLine(m_current, to);
            }
            m_current = to;
        }
        return;
    case Rectangle:
    case Ellipse:
    case RoundRect: {
        if (!has(at, size, 8, 16))
            return;
        const QRectF r = QRectF(QPointF(i32(at + 8), i32(at + 12)), QPointF(i32(at + 16), i32(at + 20))).normalized();
        QPainterPath shape;
        if (type == Rectangle)
            shape.addRect(r);
        else if (type == Ellipse)
            shape.addEllipse(r);
        else if (has(at, size, 24, 8))
            shape.addRoundedRect(r, i32(at + 24) / 2.0, i32(at + 28) / 2.0);
        if (m_inPath)
            m_path.addPath(shape);
        else
            fillOrStroke(shape, true, true);
        return;
    }
    case Polygon:
    case Polyline:
    case PolyBezier:
    case PolyBezierTo:
    case PolylineTo: drawPoly(type, at, size, false); return;
    case Polygon16:
    case Polyline16:
    case PolyBezier16:
    case PolyBezierTo16:
    case PolylineTo16:
        drawPoly(type == Polygon16        ? Polygon
                 : type == Polyline16     ? Polyline
                 : type == PolyBezier16   ? PolyBezier
                 : type == PolyBezierTo16 ? PolyBezierTo
                                          : PolylineTo,
                 at, size, true);
        return;
    case PolyPolygon:
    case PolyPolyline: drawPolyPoly(type, at, size, false); return;
    case PolyPolygon16:
    case PolyPolyline16: drawPolyPoly(type == PolyPolygon16 ? PolyPolygon : PolyPolyline, at, size, true); return;
    case BeginPath:
        m_path = QPainterPath();
        m_path.moveTo(m_current);
        m_inPath = true;
        return;
    case EndPath: m_inPath = false; return;
    case CloseFigure:
        if (m_inPath)
            m_path.closeSubpath();
        return;
    case FillPath:
    case StrokePath:
    case StrokeAndFillPath:
        m_path.setFillRule(m_dc.fill);
        fillOrStroke(m_path, type != StrokePath, type != FillPath);
        m_path = QPainterPath();
        return;
    case StretchDiBits:
        if (has(at, size, 8, 72)) {
            drawBitmap(at, size, QRectF(i32(at + 24), i32(at + 28), i32(at + 72), i32(at + 76)),
                       QRectF(i32(at + 32), i32(at + 36), i32(at + 40), i32(at + 44)), u32(at + 48), u32(at + 52), u32(at + 56),
                       u32(at + 60));
        }
        return;
    case BitBlt:
    case StretchBlt:
        if (has(at, size, 8, type == StretchBlt ? 100 : 92)) {
            const QRectF dest(i32(at + 24), i32(at + 28), i32(at + 32), i32(at + 36));
            const QRectF src = type == StretchBlt ? QRectF(i32(at + 44), i32(at + 48), i32(at + 100), i32(at + 104)) : QRectF();
            drawBitmap(at, size, dest, src, u32(at + 84), u32(at + 88), u32(at + 92), u32(at + 96));
        }
        return;
    case ExtTextOutW: drawText(at, size); return;
    default: return;
    }
}

} // namespace

QImage renderEnhancedMetafile(const QByteArray &data, QSize size)
{
    size = size.boundedTo(QSize(kMaxRenderSide, kMaxRenderSide)).expandedTo(QSize(1, 1));
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    Player player(data, &image);
    if (!player.play())
        return {};
    return image;
}

} // namespace kmp::rtf::detail
