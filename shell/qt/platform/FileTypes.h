#pragma once

#include <QString>

class QSettings;

// Firmware files (".mot") open in the tool from the desktop. On Linux the installation registers
// the type (flashtool-mot.xml, and edition A's desktop entry as its one handler, see
// install.cmake); on Windows the program registers it for the current user.
inline constexpr char kMotExtension[] = ".mot";
inline constexpr char kMotMimeType[] = "application/x-kestrune-mot";
inline constexpr char kMotProgId[] = "Kestrune.Document";
inline constexpr char kMotTypeName[] = "Kestrun Document";
// Icon theme names of the pictures in Icons.h, as installed for the desktop entries.
inline constexpr char kMainIconName[] = "kestrune-flashtool";
inline constexpr char kDocumentIconName[] = "application-x-kestrune-mot";

// Writes the association into classes, which stands for HKEY_CURRENT_USER\Software\Classes:
//   .mot                                      = Kestrune.Document
//   Kestrune.Document                         = Kestrun Document
//   Kestrune.Document\DefaultIcon             = iconPath,0
//   Kestrune.Document\shell\open\command      = "programPath" "%1"
// Paths are written with the system's separators.
void WriteFileTypeKeys(QSettings& classes, const QString& programPath, const QString& iconPath);

// Windows: registers ".mot" for the current user with programPath as its opener and the
// document icon (written as an .ico beside the program's data) as its icon, then tells the
// shell. Elsewhere it does nothing, so callers need no platform test.
void RegisterFileTypeWindows(const QString& programPath);
