#include "shell/qt/platform/Icons.h"

#include <QBuffer>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>
#include <QRadialGradient>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

using Paint = void (*)(QPainter&);

// Toolbar glyphs are drawn on a 24-unit square, the program and document icons on a 32-unit one;
// Render scales them to the pixmap.
constexpr qreal kGlyphUnits = 24;
constexpr qreal kIconUnits = 32;
// A glyph fills this much of the toolbar button's height, leaving the frame some air.
constexpr qreal kGlyphFill = 26.0 / 30.0;
constexpr int kSquareSizes[] = {16, 32, 48, 256};

QPixmap Render(QSize size, qreal units, qreal fill, Paint paint) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(size.width(), size.height()) * fill;
    painter.translate((size.width() - side) / 2, (size.height() - side) / 2);
    painter.scale(side / units, side / units);
    paint(painter);
    return pixmap;
}

// Outlines stay at least one pixel wide, or small sizes lose their edges.
QPen Outline(const QPainter& painter, const QColor& color, qreal units = 1.0) {
    QPen pen(color, std::max(units, 1.0 / painter.transform().m11()));
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

QLinearGradient Vertical(qreal top, qreal bottom, const QColor& from, const QColor& to) {
    QLinearGradient gradient(0, top, 0, bottom);
    gradient.setColorAt(0, from);
    gradient.setColorAt(1, to);
    return gradient;
}

QPointF Lerp(QPointF a, QPointF b, qreal t) {
    return a + (b - a) * t;
}

// On the 24-unit square.
void PaintBolt(QPainter& p) {
    const QPolygonF bolt{{15, 1},     {4.5, 13.5}, {11, 13.5}, {8, 23},
                         {19.5, 9.5}, {13, 9.5},   {17, 1}};
    p.setPen(Outline(p, QColor(0x8a, 0x4b, 0x00)));
    p.setBrush(Vertical(1, 23, QColor(0xff, 0xe3, 0x5a), QColor(0xf5, 0x9e, 0x0b)));
    p.drawPolygon(bolt);
}

// A red arrow bending back to the left: start the interrupted programming again.
void PaintRestart(QPainter& p) {
    const QPolygonF arrow{{3, 9.5},   {10, 2.5},  {10, 6.5}, {15, 6.5},  {20.5, 9},
                          {21.5, 15}, {19, 20.5}, {15, 22},  {17, 17.5}, {16.5, 13.5},
                          {14, 12},   {10, 12},   {10, 16.5}};
    p.setPen(Outline(p, QColor(0x7a, 0x0b, 0x0b)));
    p.setBrush(Vertical(2.5, 22, QColor(0xff, 0x6b, 0x5a), QColor(0xc8, 0x1e, 0x1e)));
    p.drawPolygon(arrow);
}

void PaintFolder(QPainter& p) {
    const QColor edge(0x7a, 0x54, 0x10);
    const QPolygonF back{{2, 5.5}, {9, 5.5}, {11, 7.5}, {21, 7.5}, {21, 19.5}, {2, 19.5}};
    p.setPen(Outline(p, edge));
    p.setBrush(QColor(0xd9, 0xa5, 0x36));
    p.drawPolygon(back);
    p.setPen(Outline(p, QColor(0x9a, 0xa5, 0xb1)));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5, 9.5, 14, 8));
    const QPolygonF flap{{5.5, 11.5}, {23, 11.5}, {20, 20.5}, {1.5, 20.5}};
    p.setPen(Outline(p, edge));
    p.setBrush(Vertical(11.5, 20.5, QColor(0xff, 0xd6, 0x6b), QColor(0xf0, 0xb4, 0x29)));
    p.drawPolygon(flap);
}

void PaintAbout(QPainter& p) {
    p.setPen(Outline(p, QColor(0x14, 0x3f, 0x7a)));
    p.setBrush(Vertical(1.5, 22.5, QColor(0x4a, 0x90, 0xe2), QColor(0x1f, 0x5f, 0xaf)));
    p.drawEllipse(QPointF(12, 12), 10.5, 10.5);
    // The letter is drawn, not typeset: no font is needed and it looks the same everywhere.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(12, 6.8), 1.8, 1.8);
    QPainterPath letter;
    letter.addRoundedRect(QRectF(10.5, 10, 3, 8.5), 0.6, 0.6);
    letter.addRect(QRectF(9.5, 10, 2, 1.6));
    letter.addRect(QRectF(9, 17, 6, 1.6));
    p.drawPath(letter.simplified());
}

// On the 32-unit square.
void PaintMain(QPainter& p) {
    const QPointF sun(22.5, 8.5);
    QPen ray(QColor(0xf5, 0x9e, 0x0b), 1.6);
    ray.setCapStyle(Qt::RoundCap);
    p.setPen(ray);
    for (int k = 0; k < 8; ++k) {
        const qreal angle = k * std::numbers::pi / 4;
        const QPointF dir(std::cos(angle), std::sin(angle));
        p.drawLine(sun + dir * 6.6, sun + dir * 8.6);
    }
    QRadialGradient glow(sun, 5);
    glow.setColorAt(0, QColor(0xff, 0xe0, 0x66));
    glow.setColorAt(1, QColor(0xfd, 0xb5, 0x15));
    p.setPen(Outline(p, QColor(0xd9, 0x77, 0x06), 0.8));
    p.setBrush(glow);
    p.drawEllipse(sun, 5, 5);

    const QPointF tl(7, 15.5), tr(27, 15.5), br(30.5, 30), bl(1.5, 30);
    p.setPen(Outline(p, QColor(0x0b, 0x1f, 0x4f), 1.2));
    p.setBrush(Vertical(15.5, 30, QColor(0x2b, 0x59, 0xc3), QColor(0x16, 0x3a, 0x8a)));
    p.drawPolygon(QPolygonF{tl, tr, br, bl});
    p.setPen(Outline(p, QColor(0xa9, 0xc7, 0xff), 0.8));
    for (int column = 1; column < 4; ++column) {
        p.drawLine(Lerp(tl, tr, column / 4.0), Lerp(bl, br, column / 4.0));
    }
    for (int row = 1; row < 3; ++row) {
        p.drawLine(Lerp(tl, bl, row / 3.0), Lerp(tr, br, row / 3.0));
    }
}

void PaintDocument(QPainter& p) {
    const QColor edge(0x4b, 0x55, 0x63);
    const QPolygonF page{{6, 1.5}, {20.5, 1.5}, {26.5, 7.5}, {26.5, 30.5}, {6, 30.5}};
    p.setPen(Outline(p, edge));
    p.setBrush(Qt::white);
    p.drawPolygon(page);
    p.setBrush(QColor(0xd1, 0xd5, 0xdb));
    p.drawPolygon(QPolygonF{{20.5, 1.5}, {20.5, 7.5}, {26.5, 7.5}});

    // S-record lines: the record type in blue, then the data.
    const qreal lineEnds[] = {23, 17, 15, 14};
    for (int line = 0; line < 4; ++line) {
        const qreal y = 10 + 4.5 * line;
        p.setPen(Outline(p, QColor(0x25, 0x63, 0xeb), 1.8));
        p.drawLine(QPointF(9, y), QPointF(10.5, y));
        p.setPen(Outline(p, QColor(0x9c, 0xa3, 0xaf), 1.8));
        p.drawLine(QPointF(12.5, y), QPointF(lineEnds[line], y));
    }
    p.save();
    p.translate(14.5, 14.5);
    p.scale(0.66, 0.66);
    PaintBolt(p);
    p.restore();
}

QIcon ToolbarIcon(Paint paint) {
    QIcon icon;
    for (int scale : {1, 2}) {
        icon.addPixmap(Render(kToolbarIconSize * scale, kGlyphUnits, kGlyphFill, paint));
    }
    return icon;
}

QIcon SquareIcon(Paint paint) {
    QIcon icon;
    for (int side : kSquareSizes) {
        icon.addPixmap(Render(QSize(side, side), kIconUnits, 1.0, paint));
    }
    return icon;
}

void PutLe16(QByteArray& out, int value) {
    const quint16 le = qToLittleEndian(static_cast<quint16>(value));
    out.append(reinterpret_cast<const char*>(&le), sizeof le);
}

void PutLe32(QByteArray& out, qsizetype value) {
    const quint32 le = qToLittleEndian(static_cast<quint32>(value));
    out.append(reinterpret_cast<const char*>(&le), sizeof le);
}

}  // namespace

QIcon OpenIcon() {
    return ToolbarIcon(PaintFolder);
}

QIcon FlashIcon() {
    return ToolbarIcon(PaintBolt);
}

QIcon RestartIcon() {
    return ToolbarIcon(PaintRestart);
}

QIcon AboutIcon() {
    return ToolbarIcon(PaintAbout);
}

QIcon MainIcon() {
    return SquareIcon(PaintMain);
}

QIcon DocumentIcon() {
    return SquareIcon(PaintDocument);
}

QByteArray IcoFile(const QIcon& icon) {
    // The format's directory holds one byte per side, 0 standing for 256.
    constexpr int kLargestSide = 256;
    constexpr qsizetype kHeaderBytes = 6;
    constexpr qsizetype kEntryBytes = 16;

    QList<QSize> sizes = icon.availableSizes();
    sizes.removeIf([](QSize s) { return s.width() > kLargestSide || s.height() > kLargestSide; });
    std::sort(sizes.begin(), sizes.end(),
              [](QSize a, QSize b) { return a.width() * a.height() < b.width() * b.height(); });

    QList<QByteArray> images;
    for (QSize size : sizes) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        icon.pixmap(size, 1.0).toImage().save(&buffer, "PNG");
        images.append(png);
    }

    QByteArray ico;
    PutLe16(ico, 0);  // reserved
    PutLe16(ico, 1);  // icon, not cursor
    PutLe16(ico, static_cast<int>(sizes.size()));
    qsizetype offset = kHeaderBytes + kEntryBytes * sizes.size();
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        ico.append(static_cast<char>(sizes[i].width() % kLargestSide));
        ico.append(static_cast<char>(sizes[i].height() % kLargestSide));
        ico.append('\0');  // no palette
        ico.append('\0');  // reserved
        PutLe16(ico, 1);   // colour planes
        PutLe16(ico, 32);  // bits per pixel
        PutLe32(ico, images[i].size());
        PutLe32(ico, offset);
        offset += images[i].size();
    }
    for (const QByteArray& png : images) {
        ico.append(png);
    }
    return ico;
}
