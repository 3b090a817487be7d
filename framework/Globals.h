#pragma once

// Program-wide values shared by the document, the view and the dialogs.
// Flags hold 0 or 1.

// Model code of the last firmware file opened successfully (see image/ModelCode.h).
extern int g_nFirmwareModel;
// "tmp.bin" holds a prepared image.
extern int g_bDataReady;
// The boot kernel runs on the controller; the next transfer sends the pre-loader.
extern int g_bKernelLoaded;
// Steps (blocks) of the current Flash run, and steps done (the index of the step in progress).
extern int g_nStepCount;
extern int g_nStepIndex;
// Consecutive empty polls of the programming transfer while an answer is awaited.
extern int g_nAckPolls;
