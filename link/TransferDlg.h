#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/Dialog.h"
#include "link/TransferView.h"

// Timer id of every transfer dialog's work.
constexpr int kWorkTimer = 0;

// What the transfer dialogs share: the view they work for, the file they send, and the way a
// serial error ends them.
class CTransferDlg : public CDialog {
public:
    using CDialog::CDialog;

    // Stores the view; a dialog that sends a file forgets the previous one.
    void SetView(CTransferView* view);
    std::string StatusText() const override { return m_strText; }

protected:
    // Reads the whole file; returns its length, or -1 when it cannot be read or is empty.
    int LoadFile(const std::string& path);
    // Releases the file and ends the dialog: the standard OK path on success, else IDCANCEL.
    void EndTransfer(bool success);
    // Runs one tick's work; a serial error ends the dialog with IDCANCEL after a message that
    // names it, so no dialog stays open without a running timer.
    template <typename Work>
    void Guarded(Work work);

    CTransferView* m_pView = nullptr;
    std::vector<uint8_t> m_buffer;
    std::string m_strText;
};

void ShowSerialError(const std::string& what);
// The file can be read, is not empty and holds at most `maxBytes`.
bool FileLengthWithin(const std::string& path, int maxBytes);

template <typename Work>
void CTransferDlg::Guarded(Work work) {
    try {
        work();
    } catch (const CommError& error) {
        KillTimer(kWorkTimer);
        ShowSerialError(error.what());
        EndTransfer(false);
    }
}
