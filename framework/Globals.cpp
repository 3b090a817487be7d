#include "framework/Globals.h"

int g_nFirmwareModel = 0;
int g_bDataReady = 0;
