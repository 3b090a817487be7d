#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image/S19Record.h"

// One 16-byte row of the image, as hexadecimal text.
class CBinRow {
public:
    int m_nLead = 0;  // leading bytes that a merge takes from an earlier row of the same address
    uint32_t m_dwAddress = 0;  // a multiple of 16
    int m_nSize = 0;
    std::array<char, 32> m_strData{};  // two hexadecimal characters a byte; filler is "FF"
};

// Turns the S-records of a file into the binary image: 16-byte rows from address 0 upward,
// 0xFF wherever no record supplies a byte, ending at the end of a 64-byte block.
// The steps run in order; each empties its own output list before filling it and shows its own
// message when it fails.
class CMotImage {
public:
    // Start addresses at or above this limit are left out of the image.
    static constexpr uint32_t kAddressLimit = 0x20000;
    static constexpr uint32_t kRowBytes = 16;
    static constexpr uint32_t kBlockBytes = 64;

    bool ReadMotFile(const std::string& path);
    // ReadMotFile on a text already read; the records keep pointing into it.
    bool ReadMotText(std::string text);
    bool SortRecords();
    bool BuildRows();
    void MergeRows();
    bool FillGaps();
    bool WriteBinFile(const std::string& path);

    // The whole chain, stopping at the first step that fails.
    bool Build(const std::string& sourcePath, const std::string& binPath);
    // The chain from a text already read up to the image's bytes (WrittenBytes), which the
    // caller writes.
    bool BuildFromText(std::string text);

    std::vector<CBinRow> m_listRows;
    std::vector<CBinRow> m_listMerged;
    std::vector<CBinRow> m_listImage;
    std::vector<CS19Record> m_listRecords;
    std::vector<CS19Record> m_listSorted;
    std::vector<CS19Record> m_listLate;

    // Whether ReadMotFile refuses data that no end record follows. A plain firmware file needs
    // one, as it may have been cut short otherwise; the blocks of a 6K container are guarded by
    // their line counts instead, and installation files keep being taken as they are.
    bool m_bRequireEnd = false;

    // The bytes of the image built last: written by Build, or for the caller to write.
    const std::string& WrittenBytes() const { return m_binBytes; }

    // Records SortRecords left out for starting at or above kAddressLimit.
    size_t m_nOutsideFlash = 0;

private:
    bool ParseMotText(const std::string& text);
    bool ConvertRecords();
    std::string ImageBytes() const;

    std::string m_binBytes;
    // The text of the file read last; the records' texts point into it.
    std::string m_fileText;
};
