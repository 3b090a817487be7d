#pragma once

#include "link/TransferDlg.h"

// Waits for the unit's one-byte answer to a command the view has just sent, polling every
// 100 ms with a running tick count and a Stop button. In the boot handshake it awaits 0x00 (and
// keeps sending 0x00 until one comes back) or 0xAA; otherwise the acknowledgements 0x06 and 0x11.
class CResponseWaitDlg : public CTransferDlg {
public:
    static constexpr int kTickMs = 100;
    static constexpr int kMaxTicks = 150;

    CResponseWaitDlg();

    bool OnInitDialog() override;
    void OnTimer(int id) override;

private:
    void Poll();

    int m_nTicks = 0;
};
