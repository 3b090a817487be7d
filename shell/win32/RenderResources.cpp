// Writes the Win32 programs' pictures from the icons the Qt programs draw: the toolbar strip
// (bitmap 128, 39 x 30 a button, magenta where it is transparent) and icons 128 and 129
// (32 x 32 and 16 x 16, 32-bit with an AND mask), as Windows reads them from resources.
//   flashtool_win32_images OUTPUT_DIR
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QtEndian>

#include <cstdio>

#include "shell/qt/platform/Icons.h"

namespace {

constexpr QRgb kTransparentKey = qRgb(255, 0, 255);
constexpr int kIconSizes[] = {32, 16};

void Put16(QByteArray& out, quint16 value) {
    value = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&value), 2);
}

void Put32(QByteArray& out, quint32 value) {
    value = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&value), 4);
}

// A BITMAPINFOHEADER; `height` is doubled for icons (colour and mask).
void PutInfoHeader(QByteArray& out, int width, int height, int bits, quint32 imageBytes) {
    Put32(out, 40);
    Put32(out, static_cast<quint32>(width));
    Put32(out, static_cast<quint32>(height));
    Put16(out, 1);
    Put16(out, static_cast<quint16>(bits));
    Put32(out, 0);
    Put32(out, imageBytes);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);
}

// 24-bit rows, bottom up, padded to four bytes, alpha flattened onto the key colour.
QByteArray ToolbarBmp(const QImage& strip) {
    const int stride = (strip.width() * 3 + 3) & ~3;
    QByteArray pixels;
    for (int y = strip.height() - 1; y >= 0; --y) {
        QByteArray row;
        for (int x = 0; x < strip.width(); ++x) {
            const QRgb p = strip.pixel(x, y);
            const bool clear = qAlpha(p) < 128;
            row.append(static_cast<char>(clear ? qBlue(kTransparentKey) : qBlue(p)));
            row.append(static_cast<char>(clear ? qGreen(kTransparentKey) : qGreen(p)));
            row.append(static_cast<char>(clear ? qRed(kTransparentKey) : qRed(p)));
        }
        row.append(QByteArray(stride - row.size(), '\0'));
        pixels.append(row);
    }
    QByteArray out("BM");
    Put32(out, static_cast<quint32>(14 + 40 + pixels.size()));
    Put32(out, 0);
    Put32(out, 14 + 40);
    PutInfoHeader(out, strip.width(), strip.height(), 24, static_cast<quint32>(pixels.size()));
    return out + pixels;
}

QByteArray IconImage(const QImage& image) {
    const int side = image.width();
    QByteArray colour;
    QByteArray mask;
    const int maskStride = ((side + 31) / 32) * 4;
    for (int y = side - 1; y >= 0; --y) {
        QByteArray maskRow(maskStride, '\0');
        for (int x = 0; x < side; ++x) {
            const QRgb p = image.pixel(x, y);
            Put32(colour, static_cast<quint32>(p));  // BGRA in memory
            if (qAlpha(p) == 0) {
                maskRow[x / 8] = static_cast<char>(maskRow[x / 8] | (0x80 >> (x % 8)));
            }
        }
        mask.append(maskRow);
    }
    QByteArray out;
    PutInfoHeader(out, side, side * 2, 32, static_cast<quint32>(colour.size() + mask.size()));
    return out + colour + mask;
}

QByteArray DibIcoFile(const QIcon& icon) {
    QList<QByteArray> images;
    for (int side : kIconSizes) {
        images.append(
            IconImage(icon.pixmap(side, side).toImage().convertToFormat(QImage::Format_ARGB32)));
    }
    QByteArray out;
    Put16(out, 0);
    Put16(out, 1);
    Put16(out, static_cast<quint16>(images.size()));
    quint32 offset = 6 + 16 * static_cast<quint32>(images.size());
    for (int i = 0; i < images.size(); ++i) {
        const int side = kIconSizes[i];
        out.append(static_cast<char>(side));
        out.append(static_cast<char>(side));
        out.append('\0');
        out.append('\0');
        Put16(out, 1);
        Put16(out, 32);
        Put32(out, static_cast<quint32>(images[i].size()));
        Put32(out, offset);
        offset += static_cast<quint32>(images[i].size());
    }
    for (const QByteArray& image : images) {
        out.append(image);
    }
    return out;
}

bool Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "flashtool_win32_images: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: flashtool_win32_images OUTPUT_DIR\n");
        return 2;
    }
    const QString root = app.arguments()[1];
    const QIcon buttons[] = {OpenIcon(), FlashIcon(), RestartIcon(), AboutIcon()};
    const int width = kToolbarIconSize.width();
    QImage strip(width * static_cast<int>(std::size(buttons)), kToolbarIconSize.height(),
                 QImage::Format_ARGB32);
    strip.fill(Qt::transparent);
    {
        QPainter painter(&strip);
        for (size_t i = 0; i < std::size(buttons); ++i) {
            painter.drawPixmap(static_cast<int>(i) * width, 0,
                               buttons[i].pixmap(kToolbarIconSize, 1.0));
        }
    }
    const bool ok = QDir().mkpath(root) && Write(root + "/toolbar.bmp", ToolbarBmp(strip)) &&
                    Write(root + "/main.ico", DibIcoFile(MainIcon())) &&
                    Write(root + "/document.ico", DibIcoFile(DocumentIcon()));
    return ok ? 0 : 1;
}
