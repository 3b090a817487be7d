#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// One parsed S-record line. The data stays hexadecimal text, two characters a byte, letter
// case kept, until the image file is written. The texts are views into the line they were
// parsed from, so whoever keeps records keeps the text they came from.
class CS19Record {
public:
    std::string_view m_strType;  // "S0", "S1", "S2", ...
    int m_nCount = 0;            // data bytes: the count field less the address and checksum bytes
    uint32_t m_dwAddress = 0;
    std::string_view m_strData;  // 2 * m_nCount hexadecimal characters
    int m_nChecksum = 0;         // the checksum byte of the line
};

// What one line of an S-record file is to the reader.
enum class LineKind {
    Data,           // S1 or S2, well formed, checksum right: the record was filled in
    Header,         // S0: parsed no further
    Skip,           // blank line
    Count,          // S5 or S6, well formed, checksum right: m_dwAddress holds the count
    End,            // end record (S7, S8, S9): reading stops
    WideData,       // S3: data at a 32-bit address, which the image cannot take
    Other,          // any other text (S4, lower-case s, ...): reading stops here
    FormatError,    // S1/S2/S5/S6 with a short count, missing characters, a non-hex character or
                    // anything but blanks after the checksum
    ChecksumError,  // S1/S2/S5/S6 whose checksum does not match its bytes
};

// Values of the hexadecimal digits of either case; -1 for every other character.
inline constexpr std::array<int8_t, 256> kHexDigits = [] {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (int c = 0; c < 10; ++c) {
        table['0' + c] = static_cast<int8_t>(c);
    }
    for (int c = 0; c < 6; ++c) {
        table['A' + c] = table['a' + c] = static_cast<int8_t>(10 + c);
    }
    return table;
}();

inline int HexDigitValue(char c) {
    return kHexDigits[static_cast<unsigned char>(c)];
}

// Value of a two-character hexadecimal text; 0 for any other text.
uint8_t HexToByte(std::string_view text);

// Parses one line (without its line end) into `record`, which is reused from line to line.
// Only S1, S2, S5 and S6 lines write the record; for others only m_strType is set.
LineKind ParseRecord(CS19Record& record, std::string_view line);
