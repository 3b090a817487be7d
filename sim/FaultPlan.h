#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The points at which the simulated unit answers the tool.
enum class Step {
    Discovery,   // 21-byte answer to the discovery query
    Identity,    // 75-byte answer to the identity query
    Handover,    // "*FLASH" answer to a flash request
    Sync,        // 0x00 answer to the boot-mode sync byte 0x00
    SyncAA,      // 0xAA answer to 0x55
    Echo,        // echo of a kernel length or kernel byte
    KernelDone,  // 0xAA after the whole kernel arrived
    Table,       // 0x06 for the block table
    Length,      // 0x06 for the length frame
    Frame,       // 0x11 for a 64-byte frame
    Closing,     // 0x06 for the closing checksum frame
};

// Faults the simulated unit is to show, written as a comma-separated list:
//   silent:STEP[#N]      no answer at STEP (its N-th time only, counting from 1; else every time)
//   answer:STEP[#N]=0xHH answer the byte HH instead
//   twice:STEP[#N]       answer twice
//   drop:K               lose byte K of a programming transfer (counting from 0, frame headers and
//                        the closing frame included); the loader never sees it
//   corrupt:K            invert byte K of a programming transfer
//   restart-ms:N         take N ms to restart after a block was written
//   id-length:N          answer the identity query with N bytes instead of 75
//   bad-echo:N[@K]       echo kernel byte K (counting from 0, default 0) wrongly N times; the
//                        controller takes no byte whose echo it spoiled
// STEP is one of discovery, identity, handover, sync, sync-aa, echo, kernel-done, table, length,
// frame, closing.
class FaultPlan {
public:
    enum class Kind { Silent, Answer, Twice };
    struct Fault {
        Kind kind;
        Step step;
        int occurrence = 0;  // 0: every time
        uint8_t byte = 0;    // for Answer
    };

    // Throws std::invalid_argument with a message naming the item it could not read.
    static FaultPlan Parse(const std::string& text);

    // What the unit sends at `step` instead of `answer`.
    std::vector<uint8_t> Shape(Step step, std::vector<uint8_t> answer);

    std::vector<Fault> m_faults;
    std::optional<uint32_t> m_dropByte;
    std::optional<uint32_t> m_corruptByte;
    std::optional<int> m_restartMs;
    std::optional<int> m_identityLength;
    int m_badEchoes = 0;
    uint32_t m_badEchoIndex = 0;

private:
    std::map<Step, int> m_seen;
};
