#include "image/S19Record.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

// Bytes of a record that the count field covers besides the data.
constexpr int kS1AddressBytes = 2;
constexpr int kS2AddressBytes = 3;
// A count record holds the number of data records where a data record holds its address.
constexpr int kS5CountBytes = 2;
constexpr int kS6CountBytes = 3;
constexpr int kChecksumBytes = 1;
constexpr size_t kDataStart = 2;  // after the type characters
// The ones' complement checksum makes the sum of every byte after the type 0xFF.
constexpr unsigned kChecksumTotal = 0xFF;

// Value of the byte at `pos` in `line`, or -1 when it is not two hexadecimal characters.
int HexByteAt(std::string_view line, size_t pos) {
    const int high = HexDigitValue(line[pos]);
    const int low = HexDigitValue(line[pos + 1]);
    return (high | low) < 0 ? -1 : high * 16 + low;
}

// The digits are checked and summed eight characters at once, one character in each byte of a
// 64-bit word.
constexpr uint64_t kEachByte = 0x0101010101010101ULL;
constexpr uint64_t kTopBits = 0x80 * kEachByte;
constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFULL;
constexpr uint64_t kEachLane = 0x0001000100010001ULL;  // four 16-bit lanes
constexpr uint64_t kCaseBit = 0x20 * kEachByte;
constexpr int kLaneSumShift = 48;

// Bit 7 of each byte of `chars` that lies in [low, high]; right only for bytes below 0x80.
constexpr uint64_t InRange(uint64_t chars, uint8_t low, uint8_t high) {
    const uint64_t atLeastLow = chars + (0x80 - low) * kEachByte;
    const uint64_t aboveHigh = chars + (0x7F - high) * kEachByte;
    return atLeastLow & ~aboveHigh & kTopBits;
}

// Sum of the `bytes` bytes written as hexadecimal text at `pos` in `line`, or -1 when one of
// their characters is no hexadecimal digit.
int SumOfBytes(std::string_view line, size_t pos, size_t bytes) {
    static_assert(std::endian::native == std::endian::little, "characters load low byte first");
    const char* text = line.data() + pos;
    const size_t chars = 2 * bytes;
    uint64_t invalid = 0;
    // Per 16-bit lane, the sums of the high and of the low digits: at most 63 steps of 15 each.
    uint64_t highDigits = 0;
    uint64_t lowDigits = 0;
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= chars; i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, text + i, sizeof word);
        // A non-ASCII byte, or one that is neither a digit nor a letter A to F of either case.
        const uint64_t hex = InRange(word, '0', '9') | InRange(word | kCaseBit, 'a', 'f');
        invalid |= (word & kTopBits) | (hex ^ kTopBits);
        // A digit's value is its low four bits, plus 9 for a letter (bit 6).
        const uint64_t values = (word & 0x0F * kEachByte) + (word >> 6 & kEachByte) * 9;
        highDigits += values & kEvenBytes;
        lowDigits += values >> 8 & kEvenBytes;
    }
    const uint64_t lanes = (highDigits << 4) + lowDigits;  // each at most 63 * 255
    int sum = static_cast<int>((lanes * kEachLane) >> kLaneSumShift);
    for (; i < chars; i += 2) {  // the last up to three bytes
        const int byte = HexByteAt(line, pos + i);
        invalid |= byte < 0;
        sum += byte;
    }
    return invalid != 0 ? -1 : sum;
}

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r\f\v") == std::string_view::npos;
}

// Reads the fields that data and count records share: count, address, data, checksum.
// `kind` is what a good line is; a count record has no data, its address field is the count.
LineKind ParseFields(CS19Record& record, std::string_view line, int addressBytes, LineKind kind) {
    if (line.size() < kDataStart + 2) {
        return LineKind::FormatError;
    }
    const int countField = HexByteAt(line, kDataStart);
    const int dataBytes = countField - addressBytes - kChecksumBytes;
    const size_t checksumEnd = kDataStart + 2 + 2 * static_cast<size_t>(countField);
    if (countField < 0 || dataBytes < 0 || (kind == LineKind::Count && dataBytes != 0) ||
        line.size() < checksumEnd) {
        return LineKind::FormatError;
    }
    // Text after the checksum would be a record glued on or a damaged line, never a comment.
    if (line.find_first_not_of(" \t", checksumEnd) != std::string_view::npos) {
        return LineKind::FormatError;
    }
    // The address, the data and the checksum: every byte the count covers.
    const size_t addressPos = kDataStart + 2;
    const int fieldsSum = SumOfBytes(line, addressPos, static_cast<size_t>(countField));
    if (fieldsSum < 0) {
        return LineKind::FormatError;
    }
    if ((static_cast<unsigned>(countField + fieldsSum) & 0xFF) != kChecksumTotal) {
        return LineKind::ChecksumError;
    }
    uint32_t address = 0;
    for (size_t i = 0; i < static_cast<size_t>(addressBytes); ++i) {
        address = address << 8 | static_cast<uint32_t>(HexByteAt(line, addressPos + 2 * i));
    }
    const size_t pos = addressPos + 2 * static_cast<size_t>(addressBytes);
    record.m_nCount = dataBytes;
    record.m_dwAddress = address;
    record.m_strData = line.substr(pos, 2 * static_cast<size_t>(dataBytes));
    record.m_nChecksum = HexByteAt(line, checksumEnd - 2);
    return kind;
}

}  // namespace

uint8_t HexToByte(std::string_view text) {
    if (text.size() != 2) {
        return 0;
    }
    const int value = HexByteAt(text, 0);
    return value < 0 ? 0 : static_cast<uint8_t>(value);
}

LineKind ParseRecord(CS19Record& record, std::string_view line) {
    record.m_strType = line.substr(0, 2);
    // A record's line starts with its type; only other lines can be blank.
    if (line.size() < 2 || line[0] != 'S') {
        return IsBlank(line) ? LineKind::Skip : LineKind::Other;
    }
    switch (line[1]) {
        case '0':
            return LineKind::Header;
        case '1':
            return ParseFields(record, line, kS1AddressBytes, LineKind::Data);
        case '2':
            return ParseFields(record, line, kS2AddressBytes, LineKind::Data);
        case '3':
            return LineKind::WideData;
        case '5':
            return ParseFields(record, line, kS5CountBytes, LineKind::Count);
        case '6':
            return ParseFields(record, line, kS6CountBytes, LineKind::Count);
        case '7':
        case '8':
        case '9':
            return LineKind::End;
        default:
            return LineKind::Other;
    }
}
