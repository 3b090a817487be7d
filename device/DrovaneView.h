#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "framework/Edition.h"
#include "image/MotImage.h"
#include "link/KernelDownloadDlg.h"
#include "link/ProgramDlg.h"
#include "link/ResponseWaitDlg.h"
#include "link/TransferView.h"
#include "view/ShellDialogs.h"

class CCmdUI;

// What one identification of the unit found.
struct UnitIdentity {
    bool answered = false;  // the identity answer came
    std::string model;      // the model name, as the unit pads it (16 characters)
    std::string version;    // the version text (5 characters)
    CByteArray id;          // the ten data bytes of its discovery answer

    // The model name without its padding.
    std::string Name() const;
    // "VX360R (unit id 0011...)", or "no unit" when nothing answered.
    std::string Describe() const;
};

// The blocks of a Flash run, in the order a run sends them.
enum class FlashBlock { TempErase, Mppt, Control };

// The view: all device state and every operation that talks to a unit. The window (or the
// command line) routes commands to it; it reaches the platform only through its host and the
// serial port it is given.
class CDrovaneView : public CTransferView {
public:
    CDrovaneView(CMSComm& comm, Edition edition);

    // Commands. Each ends cleanly on a serial error: the error is shown, the port is closed, and
    // nothing reports success.
    void OnFlash();
    // Plans the rest of a Flash run behind `block`, which a unit waiting in its loader is about
    // to take again through OnFlashRestart: the blocks after it follow as in a Flash.
    void PlanFlashRunFrom(FlashBlock block);
    void OnMppt();
    void OnFlashRestart();
    void OnFlashAction();
    void OnUserMode();
    void OnWriteData();
    void OnSendProgram();
    void OnBaud38400();
    void OnBaud19200();
    void OnBaud9600();
    void OnBaud2400();
    void OnProtect();

    // Runs a view command by id; false when the id is not the view's.
    bool OnCommand(unsigned id);
    // Applies the update rule of a view command to its interface state; false when the id is
    // not the view's.
    bool OnUpdateCommand(CCmdUI& cmdUI) const;

    // The unit flags of the connected unit (0: no usable answer). What was found is kept in
    // m_lastUnit.
    int IdentifyUnit();
    void ResetPort();
    void SetBootMode();
    void FlashTempErase();
    void SetBaudRate(int rate);
    // Rebuilds "tmp.bin" from `source`; on failure the port is reset and false returned.
    bool RebuildImage(const std::string& source);
    // The same from the edition's TempErase image; a missing one is named to m_onImageMissing.
    bool RebuildTempErase();
    // The file's length, or -1 when it cannot be read or is empty, or, for a `sealed` working
    // file, when it no longer holds what this run wrote.
    static int GetImageFileSize(const std::string& path, bool sealed = false);

    int m_bFlashBusy = 0;
    int m_bBaud2400 = 1;
    int m_bBaud9600 = 0;
    int m_bBaud19200 = 0;
    int m_bBaud38400 = 0;
    int m_bProtected = 1;
    int m_bUserMode = 0;
    int m_bProgramming = 0;
    int m_nImageSize = 0;
    CPasswordDlg m_dlgPassword;
    CKernelDownloadDlg m_dlgKernel;
    CProgramDlg m_dlgProgram;
    CResponseWaitDlg m_dlgResponse;
    CMotImage m_image;
    Edition m_edition;

    // A unit that cannot be checked against the file (it did not identify, or its model is not
    // known) is flashed without asking.
    bool m_bFlashUnchecked = false;
    // The last Flash or Mppt stopped because its unit could not be checked and nobody said yes.
    bool m_bUncheckedRefused = false;
    // Further tries of a block whose write start or transfer failed (0: none). Each waits until
    // the loader has given the failed transfer up.
    int m_nRetries = 0;
    // A line to show that needs no answer (a retry about to start, the wait for a restart).
    std::function<void(const std::string&)> m_onNote;
    // A station's Flash: the identification is repeated, at its own pace, until this says the
    // unit that answered (or the silence) is one to take; that identification is the Flash's.
    std::function<bool(const UnitIdentity&)> m_takeUnit;
    // The blocks the last command sent, in order: name, tries, and whether the unit confirmed
    // completion.
    struct BlockTry {
        std::string name;
        int tries = 0;
        bool done = false;
    };
    std::vector<BlockTry> m_blockTries;
    // The block a restart outside a Flash run sends, as records name it.
    std::string m_strRestartBlock = "control";
    // Identifies the unit and applies the Flash's model checks to the loaded file, sending
    // nothing else; false after the Flash's own message when the file does not fit, or the
    // unit cannot be checked.
    bool CheckFileAgainstUnit();
    // After a command that programmed the unit: waits for its restart and identifies it again.
    // False, after a message, when it did not come back, or came back as another unit.
    bool ConfirmUnit();
    // Sends a block that failed in its write start or transfer again through the restart road,
    // after the loader gave the transfer up, while tries remain; true once it was taken.
    bool RetryFailedBlock();

    // The last identification, and the first one of the run in progress.
    UnitIdentity m_lastUnit;
    std::optional<UnitIdentity> m_runUnit;

    // The last programming transfer sent an application image and the unit's completion answer
    // came.
    bool m_bLastTransferDone = false;
    // Called after every programming transfer, with the dialog that ran it.
    std::function<void(const CProgramDlg&)> m_onTransferEnd;
    // Called with the path of an installation image that was looked for and not found.
    std::function<void(const std::string&)> m_onImageMissing;

private:
    enum class Request { Flash, Mppt, TempErase };

    // Sends the blocks of the run from g_nStepIndex on; `afterBlock`: a block of the run was
    // just sent, so the unit's restart is awaited first.
    void RunBlocks(bool afterBlock);
    // Checks the file's model against the unit's flags; false (port reset, message shown) when
    // the file does not fit or nobody agreed to flash a unit that cannot be checked.
    bool FileFitsUnit(int flags);
    // After each identification but the run's first: false (port reset, message shown) when
    // another unit, or none, answered.
    bool SameUnitAsBefore();
    // The installation files and the image the boot road needs are all there.
    bool BootFilesReady();
    // Starts the tries of a block of the command in progress.
    void BeginBlock(const std::string& name);
    // Waits `ms` in steps, ending early (false) when the run is stopped.
    bool PauseUnlessStopped(int ms);
    // Whether this command is the outermost one (not called by another command).
    bool Outermost() const { return m_nCommandDepth == 1; }

    // Runs a command; a serial error ends it with a message and a closed port.
    void Guarded(const std::function<void()>& command);
    // The mode flags a port reset clears.
    void ClearModeFlags();
    // Selects 9600 baud, opens the port in binary mode.
    void OpenPort();
    // Asks the running firmware to hand over to its loader, then starts the write.
    void RequestFlash(Request request, bool checkBusy);
    void WaitTicks(int ms);
    void DrawStatus(const std::string& text);
    // Sends a frame and runs the response wait; true when it was acknowledged.
    bool SendAndWait(const CByteArray& frame);
    // Single bytes and fixed frames.
    void SendBytes(const uint8_t* bytes, int count);

    int m_nCommandDepth = 0;
    // The blocks of the Flash run in progress (g_nStepIndex is the next one's index), and the
    // document it was planned for: a new file ends it.
    std::vector<FlashBlock> m_runBlocks;
    int m_nRunDocument = -1;
    // The block in progress failed in its write start or its transfer (a retry may help).
    bool m_bSendFailed = false;
};
