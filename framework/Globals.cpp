#include "framework/Globals.h"

int g_nFirmwareModel = 0;
int g_nDocumentOpens = 0;
int g_bDataReady = 0;
int g_bKernelLoaded = 0;
int g_nStepCount = 0;
int g_nStepIndex = 0;
int g_nAckPolls = 0;
int g_nCommPort = 1;
int g_nPortChoice = 1;
std::string g_strPortName;
int g_bBootMode = 0;
char g_szUnitVersion[5] = {};
char g_szUnitModel[16] = {};
int g_nUnitVersion = 0;
