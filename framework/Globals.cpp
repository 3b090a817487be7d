#include "framework/Globals.h"

int g_nFirmwareModel = 0;
int g_bDataReady = 0;
int g_bKernelLoaded = 0;
int g_nStepCount = 0;
int g_nStepIndex = 0;
int g_nAckPolls = 0;
