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
constexpr const char* kCannotCheck =
    "The unit did not identify itself, so the file cannot be checked against it.";
constexpr const char* kUnidentified =
    "The unit did not identify itself, so the file cannot be checked against it. Flash anyway?";

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
constexpr int kAll6K = kModel6K | kBlockControl | kBlockMppt;

// Block names as notes and records give them.
constexpr const char* kControlName = "control";
constexpr const char* kMpptName = "MPPT";
constexpr const char* kTempEraseName = "TempErase";

const char* BlockName(FlashBlock block) {
    switch (block) {
        case FlashBlock::TempErase:
            return kTempEraseName;
        case FlashBlock::Mppt:
            return kMpptName;
        default:
            return kControlName;
    }
}
constexpr size_t kBlankFlash = 26;
constexpr size_t kBlankTempErase = 28;

CByteArray Bytes(std::string_view text) {
    return CByteArray(text.begin(), text.end());
}

bool IsVx360(int flags) {
    return flags == kAll6K || flags == (kSecondFamily | kAll6K);
}

// The class a model code's class bits name, as the file names spell it.
const char* ClassName(int classBits) {
    switch (classBits) {
        case kModel1To4K:
            return "LB1~4K";
        case kModel4KA:
            return "LB4KA";
        default:
            return "6K";
    }
}

}  // namespace

void CDrovaneView::OnFlash() {
    Guarded([this] {
        g_nStepCount = 1;
        g_nStepIndex = 0;
        m_blockTries.clear();
        m_runBlocks.clear();
        m_runUnit.reset();
        m_bUncheckedRefused = false;
        if (m_bFlashBusy != 0) {
            m_bFlashBusy = 0;
            OnBaud9600();
            return;
        }
        if (g_bDataReady == 0) {
            AfxMessageBox(kDataNotReady);
            return;
        }
        int flags = 0;
        if (m_takeUnit) {
            // The port stays open between the polls, and the unit is flashed at once.
            OpenPort();
            do {
                m_runUnit.reset();
                flags = IdentifyUnit();
            } while (!m_takeUnit(m_lastUnit));
            DrawStatus(kInitiate);
        } else {
            DrawStatus(kInitiate);
            OpenPort();
            flags = IdentifyUnit();
        }
        if (!FileFitsUnit(flags)) {
            return;
        }
        if ((g_nFirmwareModel & kHasMpptBlock) == kHasMpptBlock) {
            if (g_nUnitVersion <= kLastOldVersion) {
                m_runBlocks.push_back(FlashBlock::TempErase);
            }
            m_runBlocks.push_back(FlashBlock::Mppt);
            if ((g_nFirmwareModel & kAll6K) == kAll6K) {
                m_runBlocks.push_back(FlashBlock::Control);
            }
        } else {
            m_runBlocks.push_back(FlashBlock::Control);
        }
        g_nStepCount = static_cast<int>(m_runBlocks.size());
        m_nRunDocument = g_nDocumentOpens;
        RunBlocks(false);
    });
}

bool CDrovaneView::FileFitsUnit(int flags) {
    if (flags != 0 && (flags & kUnitFamilyMask) != (g_nFirmwareModel & kUnitFamilyMask)) {
        ResetPort();
        AfxMessageBox(kNotMatched4K);
        return false;
    }
    const bool multiBlock = (g_nFirmwareModel & kHasMpptBlock) == kHasMpptBlock;
    if (multiBlock && flags != 0 && (flags & kAll6K) != kAll6K) {
        ResetPort();
        AfxMessageBox(kNotMatched6K);
        return false;
    }
    const int unitClass = flags & kModel6K;
    const int fileClass = g_nFirmwareModel & kModel6K;
    if (unitClass != 0 && unitClass != fileClass) {
        // The family bit alone would let a file of another class into the unit.
        ResetPort();
        AfxMessageBox(std::string(unitClass == kModel6K ? kNotMatched6K : kNotMatched4K) +
                      "\nThe unit is a " + m_lastUnit.Name() + " (" + ClassName(unitClass) +
                      "); the file is for " + ClassName(fileClass) + " units.");
        return false;
    }
    if (unitClass == 0 && !m_bFlashUnchecked) {
        const std::string question =
            m_lastUnit.answered
                ? "The unit's model name \"" + m_lastUnit.Name() +
                      "\" is not known, so the file cannot be checked against it. Flash anyway?"
                : std::string(kUnidentified);
        if (AfxMessageBox(question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
            m_bUncheckedRefused = true;
            ResetPort();
            return false;
        }
    }
    return true;
}

bool CDrovaneView::CheckFileAgainstUnit() {
    bool fits = false;
    Guarded([this, &fits] {
        m_runUnit.reset();
        if (g_bDataReady == 0) {
            AfxMessageBox(kDataNotReady);
            return;
        }
        OpenPort();
        const int flags = IdentifyUnit();
        if ((flags & kModel6K) == 0) {
            ResetPort();
            AfxMessageBox(m_lastUnit.answered
                              ? "The unit's model name \"" + m_lastUnit.Name() +
                                    "\" is not known, so the file cannot be checked against it."
                              : std::string(kCannotCheck));
            return;
        }
        fits = FileFitsUnit(flags);
        ResetPort();
    });
    return fits;
}

bool CDrovaneView::SameUnitAsBefore() {
    if (!m_runUnit || !m_runUnit->answered) {
        return true;  // the run's unit was taken unchecked: there is nothing to compare
    }
    if (m_lastUnit.answered && m_lastUnit.model == m_runUnit->model &&
        m_lastUnit.id == m_runUnit->id) {
        return true;
    }
    ResetPort();
    AfxMessageBox(m_lastUnit.answered
                      ? "Another unit answered: the run began with " + m_runUnit->Describe() +
                            ", but " + m_lastUnit.Describe() +
                            " answered now. No further block was sent."
                      : "The unit " + m_runUnit->Describe() +
                            " did not answer after its restart. No further block was sent.");
    m_runBlocks.clear();
    return false;
}

void CDrovaneView::PlanFlashRunFrom(FlashBlock block) {
    m_runBlocks.clear();
    m_runUnit.reset();
    if (block == FlashBlock::TempErase) {
        m_runBlocks.push_back(FlashBlock::TempErase);
    }
    if (block != FlashBlock::Control) {
        m_runBlocks.push_back(FlashBlock::Mppt);
    }
    if (block == FlashBlock::Control || (g_nFirmwareModel & kAll6K) == kAll6K) {
        m_runBlocks.push_back(FlashBlock::Control);
    }
    g_nStepCount = static_cast<int>(m_runBlocks.size());
    g_nStepIndex = 0;
    m_nRunDocument = g_nDocumentOpens;
}

void CDrovaneView::RunBlocks(bool afterBlock) {
    for (size_t step = static_cast<size_t>(g_nStepIndex); step < m_runBlocks.size(); ++step) {
        if (afterBlock) {
            // The unit restarts after each block; it must come back as the same unit.
            DrawStatus(kWaitingRestart);
            OpenPort();
            IdentifyUnit();
            if (!SameUnitAsBefore()) {
                return;
            }
        }
        afterBlock = true;
        const int done = g_nStepIndex;
        switch (m_runBlocks[step]) {
            case FlashBlock::TempErase:
                ResetPort();
                FlashTempErase();
                break;
            case FlashBlock::Mppt:
                ResetPort();
                OnMppt();
                break;
            case FlashBlock::Control:
                if (step > 0 && !RebuildImage(WorkFile(kControlBlockFile))) {
                    return;
                }
                RequestFlash(Request::Flash, false);
                break;
        }
        m_bFlashBusy = 0;
        if (g_nStepIndex == done && !RetryFailedBlock()) {
            return;
        }
    }
    m_runBlocks.clear();
}

void CDrovaneView::OnMppt() {
    Guarded([this] {
        OpenPort();
        // An MPPT-only file is sent as loaded, without asking the unit.
        if ((g_nFirmwareModel & kAll6K) != kHasMpptBlock) {
            if (Outermost()) {
                m_runUnit.reset();
                m_blockTries.clear();
            }
            const int flags = IdentifyUnit();
            if (!SameUnitAsBefore()) {
                return;
            }
            if (!IsVx360(flags)) {
                AfxMessageBox(kNoModelName);
                ResetPort();
                return;
            }
            if (!RebuildImage(WorkFile(kMpptBlockFile))) {
                return;
            }
        }
        m_bLastTransferDone = false;
        RequestFlash(Request::Mppt, true);
        if (Outermost() && !m_bLastTransferDone) {
            RetryFailedBlock();
        }
    });
}

void CDrovaneView::FlashTempErase() {
    OpenPort();
    const int flags = IdentifyUnit();
    if (!SameUnitAsBefore()) {
        return;
    }
    if (!IsVx360(flags)) {
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
        // A block of a Flash run sent again is followed by the blocks that remain, as in the
        // Flash; a new file ends the run.
        const bool inRun = !m_runBlocks.empty() && m_nRunDocument == g_nDocumentOpens &&
                           g_nStepIndex < static_cast<int>(m_runBlocks.size());
        if (!inRun) {
            m_runBlocks.clear();
        }
        const int done = g_nStepIndex;
        m_blockTries.clear();
        BeginBlock(inRun ? BlockName(m_runBlocks[static_cast<size_t>(done)]) : m_strRestartBlock);
        m_bLastTransferDone = false;
        OnUserMode();
        OnWriteData();
        m_bFlashBusy = 0;
        if (!m_bLastTransferDone) {
            RetryFailedBlock();
        }
        if (inRun && g_nStepIndex != done) {
            RunBlocks(true);
        }
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
    BeginBlock(request == Request::Flash  ? kControlName
               : request == Request::Mppt ? kMpptName
                                          : kTempEraseName);
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
