#include "link/TransferDlg.h"

#include "framework/FileIo.h"
#include "framework/Host.h"

void ShowSerialError(const std::string& what) {
    AfxMessageBox(what, MB_OK | MB_ICONSTOP);
}

bool FileLengthWithin(const std::string& path, int maxBytes) {
    std::string content;
    std::string reason;
    return ReadWholeFile(path, content, reason) && !content.empty() &&
           content.size() <= static_cast<size_t>(maxBytes);
}

void CTransferDlg::SetView(CTransferView* view) {
    m_pView = view;
    m_buffer.clear();
}

int CTransferDlg::LoadFile(const std::string& path) {
    std::string content;
    std::string reason;
    if (!ReadWholeFile(path, content, reason) || content.empty()) {
        return -1;
    }
    m_buffer.assign(content.begin(), content.end());
    return static_cast<int>(m_buffer.size());
}

void CTransferDlg::EndTransfer(bool success) {
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    if (success) {
        OnOK();
    } else {
        EndDialog(IDCANCEL);
    }
}
