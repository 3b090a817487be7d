#pragma once

#include <string>

// Program-wide values shared by the document, the view and the dialogs.
// Flags hold 0 or 1.

// Model code of the last firmware file opened successfully (see image/ModelCode.h).
extern int g_nFirmwareModel;
// Firmware files opened successfully so far: a new file ends a run planned for the one before.
extern int g_nDocumentOpens;
// "tmp.bin" holds a prepared image.
extern int g_bDataReady;
// The boot kernel runs on the controller; the next transfer sends the pre-loader.
extern int g_bKernelLoaded;
// Steps (blocks) of the current Flash run, and steps done (the index of the step in progress).
extern int g_nStepCount;
extern int g_nStepIndex;
// Consecutive empty polls of the programming transfer while an answer is awaited.
extern int g_nAckPolls;
// Serial port number 1..6 (COM1..COM6), and the radio choice inside the open port dialog.
extern int g_nCommPort;
extern int g_nPortChoice;
// A port chosen by name instead of number (a device path, "COM7", "rfc2217://HOST:PORT",
// "tcp://HOST:PORT"); empty: the port is g_nCommPort.
extern std::string g_strPortName;
// The controller answered the boot-mode handshake.
extern int g_bBootMode;
// The last identification: version text (5 characters) and model name (16 characters), both
// without a terminator, and the version number.
extern char g_szUnitVersion[5];
extern char g_szUnitModel[16];
extern int g_nUnitVersion;
