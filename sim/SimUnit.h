#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/FaultPlan.h"

enum class Processor { Control, Mppt };

// A model of the whole unit as the tool sees it over the serial line: the running firmware with
// its framed identification protocol and text hand-over, the flash loader, the controller's boot
// mode with the kernel and the pre-loader, restarts, the flash of both processors, 9600-baud
// pacing and a fault plan. It is driven by time stamps, so one model serves virtual time in tests
// and real time in the simulator program.
class SimUnit {
public:
    static constexpr int kBaud = 9600;
    // Ten bits a byte on the line (start, 8 data, stop).
    static constexpr int64_t kByteNs = 1'000'000'000LL * 10 / kBaud;
    static constexpr size_t kFlashBytes = 128 * 1024;
    // A loader left in the middle of a transfer gives it up after this long without a byte and
    // waits for a new block table, which is why a failure asks to try again after 40 seconds.
    static constexpr int64_t kLoaderIdleResetNs = 30'000'000'000LL;

    struct Options {
        std::string model = "VX360R";
        std::string version = "S1.03";
        // The ten data bytes of the discovery answer, the unit's own identification.
        std::vector<uint8_t> unitId = {'Q', 'V', '0', '0', '1', '2', '3', '4', '5', '6'};
        bool bootMode = false;  // start in the controller's boot mode
        // Start in the flash loader of a processor ("control" or "mppt"), as after a
        // hand-over whose transfer failed; empty: start in the running firmware.
        std::string inLoader;
        int restartMs = 8000;  // silent after a block was written
        int eraseMs = 2000;    // the boot program erases the flash before its closing 0xAA
        int handoverMs = 100;  // from the "*FLASH" answer until the loader listens
        int lineResetMs = 50;  // a reset through the modem lines
        // The line carries no modem lines (a pseudo-terminal), so a close of the port may go
        // unseen: a block table sent to the kernel after it wrote the pre-loader is then taken
        // as the pre-loader's, as if the reset had happened.
        bool linesUnseen = false;
        FaultPlan faults;
    };

    explicit SimUnit(Options options);

    static constexpr size_t kUnitIdBytes = 10;
    // The unit id of 20 hexadecimal digits ("51563030313233343536"); false when it is not one.
    static bool ParseUnitId(const std::string& hex, std::vector<uint8_t>& id);

    // Another unit takes this one's place on the line (same state, other identity).
    void SwapIdentity(const std::string& model, const std::string& version,
                      std::vector<uint8_t> unitId);

    // Tool to unit: a byte that reaches the unit at `arrivalNs`. Arrival times must not decrease.
    void ScheduleReceive(uint8_t byte, int64_t arrivalNs);
    // The modem lines as the unit sees them from `atNs` on (a closed port drops both).
    void ScheduleLines(bool dtr, bool rts, int64_t atNs);
    // Runs everything due up to `ns`.
    void RunUntil(int64_t ns);
    // Time of the next pending event, or INT64_MAX.
    int64_t NextEventNs() const;
    // The unit's time: that of the event it runs, or the last time it ran up to.
    int64_t NowNs() const { return m_nowNs; }
    // Unit to tool: appends the bytes that have reached the tool by `ns`.
    void TakeOutput(int64_t ns, std::vector<uint8_t>& out);
    // Arrival time of the next byte on its way to the tool, or INT64_MAX.
    int64_t NextOutputNs() const;

    // The flash of a processor: kFlashBytes, erased bytes 0xFF.
    const std::vector<uint8_t>& Flash(Processor processor) const;
    // Completed block writes into a processor's flash.
    int Writes(Processor processor) const;
    // The kernel bytes the boot program took, and the pre-loader the kernel wrote.
    const std::vector<uint8_t>& Kernel() const { return m_kernel; }
    const std::vector<uint8_t>& PreLoader() const { return m_preLoader; }
    // "firmware", "loader", "boot", "restarting" or "dead".
    std::string ModeName() const;
    // Called after every completed write.
    void SetOnWrite(std::function<void()> onWrite) { m_onWrite = std::move(onWrite); }
    // Called with "answer" for the unit's first identity answer, "handover" when the running
    // firmware hands over to a loader, "table" when a loader took the block table (the write
    // starts) and "written" when a block was written.
    void SetOnEvent(std::function<void(const char*)> onEvent) { m_onEvent = std::move(onEvent); }
    // When the tool last did more with the unit than identify it again: its first identity
    // answer, a hand-over, a table, length or frame its loader took, a byte to its boot
    // program, or the end of a restart; -1 before any of these.
    int64_t LastAttendedNs() const { return m_attendedNs; }
    // Saves control.bin and mppt.bin (with `suffix` before ".bin") into `dir`; false when a
    // file cannot be written.
    bool SaveFlash(const std::string& dir, const std::string& suffix = "") const;

private:
    enum class Mode { Firmware, Loader, Boot, Restarting, Dead };
    enum class Target { ControlFlash, MpptFlash, PreLoader };
    enum class LoaderStage { Table, Length, Frames, Closing, Done };
    enum class BootStage { Sync, LengthHigh, LengthLow, Kernel, Erasing };

    void Schedule(int64_t ns, std::function<void()> event);
    void Send(Step step, std::vector<uint8_t> answer);
    void SendRaw(const std::vector<uint8_t>& bytes);
    void Reset(Mode mode);
    void StartUserProgram();
    void Restart(int ms);

    void OnByte(uint8_t byte);
    void OnLines(bool dtr, bool rts);
    void FirmwareByte(uint8_t byte);
    void FirmwareFrame(const std::vector<uint8_t>& frame);
    void FirmwareText(uint8_t byte);
    void LoaderByte(uint8_t byte);
    void BootByte(uint8_t byte);
    // Gives up a transfer the host left for kLoaderIdleResetNs.
    void CheckLoaderIdle();
    void EnterLoader(Target target);
    void CompleteWrite();

    Options m_options;
    int64_t m_nowNs = 0;
    uint64_t m_epoch = 0;  // counts resets, so events of an earlier life are dropped
    std::multimap<int64_t, std::function<void()>> m_events;
    std::deque<std::pair<int64_t, uint8_t>> m_output;
    int64_t m_txFreeNs = 0;
    int64_t m_lastLoaderByteNs = 0;
    bool m_idleCheckPending = false;
    bool m_dtr = false;
    bool m_rts = false;

    Mode m_mode = Mode::Firmware;
    std::vector<uint8_t> m_buffer;
    // Running firmware.
    std::string m_text;
    bool m_mpptSelected = false;
    bool m_registered = false;
    // Loader.
    Target m_target = Target::ControlFlash;
    LoaderStage m_loaderStage = LoaderStage::Table;
    uint32_t m_imageLength = 0;
    uint32_t m_framesLeft = 0;
    uint8_t m_sum = 0;
    uint32_t m_transferIndex = 0;
    std::vector<uint8_t> m_image;
    // Boot mode.
    BootStage m_bootStage = BootStage::Sync;
    bool m_synced = false;
    uint32_t m_kernelLength = 0;
    std::vector<uint8_t> m_kernel;
    int m_badEchoesLeft = 0;
    bool m_preLoaderPending = false;

    std::vector<uint8_t> m_flash[2];
    bool m_firmwareValid[2] = {true, true};
    int m_writes[2] = {0, 0};
    std::vector<uint8_t> m_preLoader;
    std::function<void()> m_onWrite;
    std::function<void(const char*)> m_onEvent;
    int64_t m_attendedNs = -1;
    bool m_identityAnswered = false;

    void Event(const char* name) {
        if (m_onEvent) {
            m_onEvent(name);
        }
    }
};
