// Writes the drawn icons as files for the desktop: a hicolor icon theme tree of PNGs for the
// Linux desktop entries and the MIME type, and .ico files for Windows resources.
//   flashtool_icons OUTPUT_DIR
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <cstdio>

#include "shell/qt/platform/FileTypes.h"
#include "shell/qt/platform/Icons.h"

namespace {

bool WriteTheme(const QString& root, const QIcon& icon, const QString& context, const char* name) {
    for (QSize size : icon.availableSizes()) {
        const QString dir = QStringLiteral("%1/hicolor/%2x%3/%4")
                                .arg(root)
                                .arg(size.width())
                                .arg(size.height())
                                .arg(context);
        const QString file = dir + '/' + QString::fromLatin1(name) + QStringLiteral(".png");
        if (!QDir().mkpath(dir) || !icon.pixmap(size, 1.0).save(file, "PNG")) {
            std::fprintf(stderr, "flashtool_icons: cannot write %s\n", qPrintable(file));
            return false;
        }
    }
    return true;
}

bool WriteIco(const QString& root, const QIcon& icon, const char* name) {
    QFile file(root + '/' + QString::fromLatin1(name) + QStringLiteral(".ico"));
    if (!file.open(QIODevice::WriteOnly) || file.write(IcoFile(icon)) < 0) {
        std::fprintf(stderr, "flashtool_icons: cannot write %s\n", qPrintable(file.fileName()));
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
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: flashtool_icons OUTPUT_DIR\n");
        return 2;
    }
    const QString root = args[1];
    const QIcon main = MainIcon();
    const QIcon document = DocumentIcon();
    const bool ok =
        QDir().mkpath(root) && WriteTheme(root, main, QStringLiteral("apps"), kMainIconName) &&
        WriteTheme(root, document, QStringLiteral("mimetypes"), kDocumentIconName) &&
        WriteIco(root, main, kMainIconName) && WriteIco(root, document, kDocumentIconName);
    return ok ? 0 : 1;
}
