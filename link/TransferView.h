#pragma once

#include "link/MSComm.h"

// What the transfer dialogs use of the view that runs them.
class CTransferView {
public:
    explicit CTransferView(CMSComm& comm) : m_comm(comm) {}
    virtual ~CTransferView() = default;
    CTransferView(const CTransferView&) = delete;
    CTransferView& operator=(const CTransferView&) = delete;

    CMSComm& m_comm;
    // The response wait runs the boot-mode handshake.
    int m_bBootHandshake = 0;
    // The controller answered the sync byte 0x00.
    int m_bSyncReceived = 0;
};
