#pragma once

// Program-wide values shared by the document, the view and the dialogs.
// Flags hold 0 or 1.

// Model code of the last firmware file opened successfully (see image/ModelCode.h).
extern int g_nFirmwareModel;
// "tmp.bin" holds a prepared image.
extern int g_bDataReady;
