#include "shell/qt/platform/FileTypes.h"

#include <QDir>
#include <QSettings>

#ifdef _WIN32
#include <QIcon>
#include <QSaveFile>
#include <QStandardPaths>

#include "shell/qt/platform/Icons.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <shlobj.h>
#endif

void WriteFileTypeKeys(QSettings& classes, const QString& programPath, const QString& iconPath) {
    const QString progId = QString::fromLatin1(kMotProgId);
    // QSettings names a key's unnamed value "Default".
    classes.setValue(QString::fromLatin1(kMotExtension) + "/Default", progId);
    classes.setValue(progId + "/Default", QString::fromLatin1(kMotTypeName));
    classes.setValue(progId + "/DefaultIcon/Default", QDir::toNativeSeparators(iconPath) + ",0");
    classes.setValue(progId + "/shell/open/command/Default",
                     QStringLiteral("\"%1\" \"%2\"")
                         .arg(QDir::toNativeSeparators(programPath), QStringLiteral("%1")));
    classes.sync();
}

#ifdef _WIN32

namespace {

// The shell reads icons from files, so the drawn document icon is saved once as an .ico where
// the user may write. Without it the program's own icon stands in.
QString DocumentIconFile(const QString& programPath) {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QString path = dir + QStringLiteral("/kestrune-document.ico");
    QSaveFile file(path);
    if (!QDir().mkpath(dir) || !file.open(QIODevice::WriteOnly) ||
        file.write(IcoFile(DocumentIcon())) < 0 || !file.commit()) {
        return programPath;
    }
    return path;
}

}  // namespace

void RegisterFileTypeWindows(const QString& programPath) {
    QSettings classes(QStringLiteral("HKEY_CURRENT_USER\\Software\\Classes"),
                      QSettings::NativeFormat);
    WriteFileTypeKeys(classes, programPath, DocumentIconFile(programPath));
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

#else

void RegisterFileTypeWindows(const QString& programPath) {
    Q_UNUSED(programPath);
}

#endif
