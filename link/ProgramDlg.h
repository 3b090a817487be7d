#pragma once

#include <cstdint>

#include "link/TransferDlg.h"

// Streams one file to the unit's loader in frames of 0x11 and 64 data bytes, each answered
// 0x11, and closes with 0x11 and the complement of the data sum, answered 0x06. Sends the
// pre-loader while the boot kernel runs, else "tmp.bin". When further steps of the run follow,
// it counts down the unit's restart before it reports success.
class CProgramDlg : public CTransferDlg {
public:
    // The line the summaries measure against: 9600 baud, ten bits a byte (start, 8 data, stop).
    static constexpr int kLineBaud = 9600;
    static constexpr int kBitsPerByte = 10;
    // The share of that line rate (1 is all of it) that `bytes` in `seconds` reach; 0 without
    // time.
    static double LineShare(int64_t bytes, double seconds);

    static constexpr int kBlockBytes = 64;
    // The pre-loader goes into the controller's 128 KiB flash.
    static constexpr int kMaxPreLoaderBytes = 0x20000;
    static constexpr const char* kPreLoaderReadError = "PreFlash.bin File Read Error !";
    static constexpr const char* kImageReadError = "BIN File Read Error !";
    // The pre-loader file can be sent: readable, not empty, and no larger than the flash.
    static bool PreLoaderUsable();
    static constexpr int kStartDelayMs = 10;
    // Between ticks while an answer is awaited. Short, so the next frame follows an answer
    // within a fraction of a byte time.
    static constexpr int kPollMs = 1;
    // An answer is given up after this long without one; units were built against it.
    static constexpr int kAnswerTimeoutMs = 1600;
    static constexpr int kRestartSeconds = 20;

    CProgramDlg();

    bool OnInitDialog() override;
    void OnTimer(int id) override;

    // The last run, for a summary: bytes put on the line and when it began and ended (no
    // earlier than the last byte sent has left the line).
    int64_t m_nBytesSent = 0;
    int64_t m_startNs = 0;
    int64_t m_endNs = 0;

private:
    // One send or one poll; returns false once the dialog has ended.
    bool Step();
    void SendFrame(const CByteArray& frame);
    // Counts the unit's restart down; false when the run was stopped meanwhile.
    bool CountDownRestart();

    int m_nLength = 0;
    int m_nOffset = 0;  // the end of the block being sent
    int m_nState = 0;   // 0: send the next frame; 1: await its answer
    uint8_t m_byChecksum = 0;
    int64_t m_waitStartNs = 0;
    bool m_bAnswered = false;  // the completion answer came
    int64_t m_lineFreeNs = 0;  // when the bytes sent so far have left the line
};
