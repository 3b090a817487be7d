#pragma once

#include "framework/FileSeal.h"
#include "framework/Globals.h"

// Puts every program-wide value back to its value at program start.
inline void ResetProgramState() {
    ForgetAllSeals();
    g_nFirmwareModel = 0;
    g_bDataReady = 0;
    g_bKernelLoaded = 0;
    g_nStepCount = 0;
    g_nStepIndex = 0;
    g_nAckPolls = 0;
    g_nCommPort = 1;
    g_nPortChoice = 1;
    g_strPortName.clear();
    g_bBootMode = 0;
    g_nUnitVersion = 0;
    for (char& c : g_szUnitVersion) {
        c = 0;
    }
    for (char& c : g_szUnitModel) {
        c = 0;
    }
}
