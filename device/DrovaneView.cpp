#include "device/DrovaneView.h"

#include "framework/Globals.h"
#include "framework/Host.h"

namespace {
constexpr int kStatusX = 5;
constexpr int kStatusY = 5;
}  // namespace

CDrovaneView::CDrovaneView(CMSComm& comm, Edition edition)
    : CTransferView(comm), m_edition(edition) {}

void CDrovaneView::Guarded(const std::function<void()>& command) {
    // Only the outermost command handles an error; commands it calls pass it on.
    struct Depth {
        int& depth;
        explicit Depth(int& d) : depth(++d) {}
        ~Depth() { --depth; }
    } depth(m_nCommandDepth);
    try {
        command();
    } catch (const CommError& error) {
        if (m_nCommandDepth > 1) {
            throw;
        }
        AfxMessageBox(error.what(), MB_OK | MB_ICONSTOP);
        m_comm.ForceClose();
        ClearModeFlags();
        m_bFlashBusy = 0;
        m_bLastTransferDone = false;
    }
}

void CDrovaneView::SetBaudRate(int rate) {
    m_bBaud2400 = rate == 2400;
    m_bBaud9600 = rate == 9600;
    m_bBaud19200 = rate == 19200;
    m_bBaud38400 = rate == 38400;
    m_comm.SetCommPort(static_cast<short>(g_nCommPort));
    m_comm.SetSettings(std::to_string(rate) + ",n,8,1");
}

void CDrovaneView::OnBaud38400() {
    Guarded([this] { SetBaudRate(38400); });
}

void CDrovaneView::OnBaud19200() {
    Guarded([this] { SetBaudRate(19200); });
}

void CDrovaneView::OnBaud9600() {
    Guarded([this] { SetBaudRate(9600); });
}

void CDrovaneView::OnBaud2400() {
    Guarded([this] { SetBaudRate(2400); });
}

void CDrovaneView::OpenPort() {
    OnBaud9600();
    m_comm.SetPortOpen(true);
    m_comm.SetInputMode(1);
}

void CDrovaneView::WaitTicks(int ms) {
    Host& host = GetHost();
    const long start = host.ClockMs();
    // Sleeps until the C clock would have reached the end, then reads it as the loop did.
    host.PauseUntil(static_cast<int64_t>(start + ms) * kNsPerMs);
    while (host.ClockMs() < start + ms) {
        host.PauseUntil(static_cast<int64_t>(start + ms) * kNsPerMs);
    }
}

void CDrovaneView::DrawStatus(const std::string& text) {
    GetHost().DrawText(kStatusX, kStatusY, text);
}

void CDrovaneView::SendBytes(const uint8_t* bytes, int count) {
    CByteArray frame;
    FillByteArray(frame, bytes, count);
    m_comm.Output(frame);
}

bool CDrovaneView::SendAndWait(const CByteArray& frame) {
    m_comm.Output(frame);
    m_dlgResponse.SetView(this);
    return m_dlgResponse.DoModal() == IDOK;
}
