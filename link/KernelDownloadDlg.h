#pragma once

#include <cstdint>

#include "link/TransferDlg.h"

// Downloads the boot kernel to the controller's boot program: a two-byte length, high byte
// first, then the kernel bytes, each echoed back, and finally 0xAA once the kernel is whole
// (the boot program erases the flash before it answers). The whole download runs in the first
// tick; on success g_bKernelLoaded is set.
class CKernelDownloadDlg : public CTransferDlg {
public:
    // An echo is awaited this long; the closing answer longer, since the flash is erased first.
    static constexpr int kEchoTimeoutMs = 1000;
    static constexpr int kDoneTimeoutMs = 20000;
    static constexpr int kMaxBadEchoes = 3;
    static constexpr int kStartDelayMs = 10;
    static constexpr int kMaxKernelLength = 0xFFFF;  // what the two length bytes can carry
    static constexpr const char* kReadError = "3062f.bin File Read Error !";

    CKernelDownloadDlg();

    // The kernel file can be sent: readable, not empty, and no longer than its length bytes
    // can say.
    static bool KernelUsable();

    bool OnInitDialog() override;
    void OnTimer(int id) override;

private:
    void Download();

    int m_nLength = 0;
    size_t m_nCur = 0;  // the next kernel byte to send
    int m_nPhase = 0;   // 0 and 1: the length bytes; 2: the kernel
    int m_nState = 0;   // 0: send the next byte; 1: await its echo
    int m_nRetry = 0;   // consecutive replies that were not the echo
};
