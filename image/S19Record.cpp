#include "image/S19Record.h"

#include <array>

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
    unsigned sum = static_cast<unsigned>(countField);
    uint32_t address = 0;
    size_t pos = kDataStart + 2;
    for (int i = 0; i < addressBytes; ++i, pos += 2) {
        const int byte = HexByteAt(line, pos);
        if (byte < 0) {
            return LineKind::FormatError;
        }
        sum += static_cast<unsigned>(byte);
        address = address << 8 | static_cast<uint32_t>(byte);
    }
    const size_t dataPos = pos;
    for (int i = 0; i <= dataBytes; ++i, pos += 2) {  // the data, then the checksum
        const int byte = HexByteAt(line, pos);
        if (byte < 0) {
            return LineKind::FormatError;
        }
        sum += static_cast<unsigned>(byte);
    }
    if ((sum & 0xFF) != kChecksumTotal) {
        return LineKind::ChecksumError;
    }
    record.m_nCount = dataBytes;
    record.m_dwAddress = address;
    record.m_strData = line.substr(dataPos, 2 * static_cast<size_t>(dataBytes));
    record.m_nChecksum = HexByteAt(line, pos - 2);
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
    if (IsBlank(line)) {
        return LineKind::Skip;
    }
    if (line.size() < 2 || line[0] != 'S') {
        return LineKind::Other;
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
