#pragma once

#include <QByteArray>
#include <QIcon>
#include <QSize>

// The tool's pictures, drawn here rather than taken from an icon set. They need a
// QGuiApplication (any platform plugin, offscreen included).

// Toolbar buttons: 39 x 30, and twice that for high-density screens.
inline constexpr QSize kToolbarIconSize{39, 30};
QIcon OpenIcon();     // a folder
QIcon FlashIcon();    // a lightning bolt
QIcon RestartIcon();  // a red arrow bending back
QIcon AboutIcon();    // an "i" in a circle

// The program (a sun over a solar panel) and its firmware files (a page of records with a
// bolt): 16, 32, 48 and 256 pixels square.
QIcon MainIcon();
QIcon DocumentIcon();

// A Windows .ico holding every size of icon, each stored as PNG.
QByteArray IcoFile(const QIcon& icon);
