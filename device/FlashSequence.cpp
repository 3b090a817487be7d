#include <filesystem>
#include <string>
#include <string_view>

#include "device/DrovaneView.h"
#include "device/Messages.h"
#include "framework/FileSeal.h"
#include "framework/Globals.h"
#include "framework/Host.h"
#include "framework/WorkFolder.h"
#include "image/DrovaneDoc.h"
#include "image/ModelCode.h"

namespace {

constexpr const char* kNotMatched4K =
    "This system Model Name is LB1~4K ! But the input FW is not matched!";
constexpr const char* kNotMatched6K =
    "This system Model Name is 6K ! But the input FW is not for LB1~4K !";
constexpr const char* kNoModelName = "Can't find Model Name!";

constexpr const char* kInitiate = "Initiate ";
constexpr const char* kWaitingRestart = "Waitting Restart";

// Hand-over texts to the running firmware, and its accepted answers.
constexpr std::string_view kFlashRequest = " flash";
constexpr std::string_view kMpptSelect = " fmppt";
constexpr std::string_view kMpptFlashRequest = " MPFLH";
constexpr std::string_view kAcceptedShort = "*FLASH";
constexpr std::string_view kAcceptedLong = "*FLASH\n\r";

constexpr int kBetweenTextsMs = 1000;
constexpr int kAfterRequestMs = 1000;
constexpr long long kAnswerPollSeconds = 1;
constexpr int kLastOldVersion = 102;  // units up to 1.02 take the TempErase block first
constexpr int kUnitFamilyMask = 0xFF00;
constexpr size_t kBlankFlash = 26;
constexpr size_t kBlankTempErase = 28;

CByteArray Bytes(std::string_view text) {
    return CByteArray(text.begin(), text.end());
}

bool IsVx360(int flags) {
    return flags == (kModel6K | kBlockControl | kBlockMppt) ||
           flags == (kSecondFamily | kModel6K | kBlockControl | kBlockMppt);
}

}  // namespace

void CDrovaneView::OnFlash() {
    Guarded([this] {
        g_nStepCount = 1;
        g_nStepIndex = 0;
        if (m_bFlashBusy != 0) {
            m_bFlashBusy = 0;
            OnBaud9600();
            return;
        }
        if (g_bDataReady == 0) {
            AfxMessageBox(kDataNotReady);
            return;
        }
        DrawStatus(kInitiate);
        OpenPort();
        const int flags = IdentifyUnit();
        if (flags != 0 && (flags & kUnitFamilyMask) != (g_nFirmwareModel & kUnitFamilyMask)) {
            ResetPort();
            AfxMessageBox(kNotMatched4K);
            return;
        }
        if ((g_nFirmwareModel & kHasMpptBlock) == kHasMpptBlock) {
            const int all6K = kModel6K | kBlockControl | kBlockMppt;
            if (flags != 0 && (flags & all6K) != all6K) {
                ResetPort();
                AfxMessageBox(kNotMatched6K);
                return;
            }
            g_nStepCount = (g_nFirmwareModel & all6K) == all6K ? 2 : 1;
            if (g_nUnitVersion <= kLastOldVersion) {
                ResetPort();
                ++g_nStepCount;
                const int done = g_nStepIndex;
                FlashTempErase();
                if (g_nStepIndex == done) {
                    return;
                }
                DrawStatus(kWaitingRestart);
                OpenPort();
                IdentifyUnit();
            }
            ResetPort();
            const int done = g_nStepIndex;
            OnMppt();
            if (g_nStepIndex == done) {
                return;
            }
            m_bFlashBusy = 0;
            if (g_nStepIndex == g_nStepCount) {
                return;
            }
            DrawStatus(kWaitingRestart);
            OpenPort();
            IdentifyUnit();
            if (!RebuildImage(WorkFile(kControlBlockFile))) {
                return;
            }
        }
        RequestFlash(Request::Flash, false);
    });
}

void CDrovaneView::OnMppt() {
    Guarded([this] {
        OpenPort();
        // An MPPT-only file is sent as loaded, without asking the unit.
        if ((g_nFirmwareModel & (kModel6K | kBlockControl | kBlockMppt)) != kHasMpptBlock) {
            if (!IsVx360(IdentifyUnit())) {
                AfxMessageBox(kNoModelName);
                ResetPort();
                return;
            }
            if (!RebuildImage(WorkFile(kMpptBlockFile))) {
                return;
            }
        }
        RequestFlash(Request::Mppt, true);
    });
}

void CDrovaneView::FlashTempErase() {
    OpenPort();
    if (!IsVx360(IdentifyUnit())) {
        AfxMessageBox(kNoModelName);
        ResetPort();
        return;
    }
    if (!RebuildTempErase()) {
        return;
    }
    RequestFlash(Request::TempErase, true);
}

bool CDrovaneView::RebuildTempErase() {
    const std::string tempErase = TempErasePath(m_edition);
    if (RebuildImage(tempErase)) {
        return true;
    }
    if (m_onImageMissing && !std::filesystem::exists(tempErase)) {
        m_onImageMissing(tempErase);
    }
    return false;
}

void CDrovaneView::OnFlashRestart() {
    Guarded([this] {
        if (m_bFlashBusy != 0) {
            m_bFlashBusy = 0;
            OnBaud9600();
            return;
        }
        if (m_bBaud2400 == 0 && m_bBaud9600 == 0 && m_bBaud19200 == 0 && m_bBaud38400 == 0) {
            AfxMessageBox(kSelectBaudRate);
            return;
        }
        if (g_bDataReady == 0) {
            AfxMessageBox(kDataNotReady);
            return;
        }
        // The port is chosen before it is opened; on the open port another choice is refused.
        if (!m_comm.GetPortOpen()) {
            m_comm.SetCommPort(static_cast<short>(g_nCommPort));
        }
        m_comm.SetPortOpen(true);
        m_comm.SetInputMode(1);
        OnBaud9600();
        OnUserMode();
        OnWriteData();
        m_bFlashBusy = 0;
    });
}

bool CDrovaneView::RebuildImage(const std::string& source) {
    // A block that cannot be built stops the run: nothing stale goes to the unit, now or from
    // a later restart.
    const std::string imagePath = WorkFile(kImageFile);
    if (!m_image.Build(source, imagePath)) {
        g_bDataReady = 0;
        ResetPort();
        return false;
    }
    SealFile(imagePath, m_image.WrittenBytes());
    g_bDataReady = 1;
    return true;
}

void CDrovaneView::RequestFlash(Request request, bool checkBusy) {
    if (checkBusy && m_bFlashBusy != 0) {
        m_bFlashBusy = 0;
        OnBaud9600();
        return;
    }
    m_comm.Output(Bytes(request == Request::Flash ? kFlashRequest : kMpptSelect));
    if (request != Request::Flash) {
        WaitTicks(kBetweenTextsMs);
        m_comm.Output(Bytes(request == Request::Mppt ? kMpptFlashRequest : kFlashRequest));
    }
    m_bFlashBusy = 1;

    // Poll for the loader's answer until the whole-second clock moves on; the write start
    // follows whatever came.
    Host& host = GetHost();
    const CByteArray acceptedShort = Bytes(kAcceptedShort);
    const CByteArray acceptedLong = Bytes(kAcceptedLong);
    m_comm.GetInput();
    const long long start = host.WallSeconds();
    for (;;) {
        const CByteArray answer = m_comm.GetInput();
        if (ReplyEquals(answer, acceptedShort) || ReplyEquals(answer, acceptedLong) ||
            host.WallSeconds() - start >= kAnswerPollSeconds) {
            break;
        }
        host.WaitForInputUntil(host.NextWallSecondNs());
    }
    WaitTicks(kAfterRequestMs);
    // The poll may have ended in the middle of the answer; what came after it must not be
    // taken for the loader's acknowledgement of the block table.
    m_comm.GetInput();
    DrawStatus(std::string(request == Request::TempErase ? kBlankTempErase : kBlankFlash, ' '));
    OnUserMode();
    OnWriteData();
    m_bFlashBusy = 0;
}
