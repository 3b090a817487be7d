// libFuzzer target for the S-record line parser: the input, whole, is one line.
//
// Besides what the sanitizers catch, the parser's verdict is checked against a plain reading of
// the line: which kind it is, and for data (S1, S2) and count (S5, S6) records whether it is well
// formed, with nothing but blanks after the checksum, whether its checksum holds and what the
// record then holds.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "image/S19Record.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view line) {
    std::fprintf(stderr, "record_fuzzer: %s (line of %zu characters)\n", what, line.size());
    std::abort();
}

int Digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The byte written at `pos`, or -1 when the two characters there are not both hexadecimal.
int ByteAt(std::string_view line, size_t pos) {
    const int high = Digit(line[pos]);
    const int low = Digit(line[pos + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

LineKind ExpectedKind(std::string_view line) {
    if (line.find_first_not_of(" \t\r\f\v") == std::string_view::npos) {
        return LineKind::Skip;
    }
    if (line.size() < 2 || line[0] != 'S') {
        return LineKind::Other;
    }
    switch (line[1]) {
        case '0':
            return LineKind::Header;
        case '1':
        case '2':
            return LineKind::Data;  // or one of the errors; checked on its own
        case '3':
            return LineKind::WideData;
        case '5':
        case '6':
            return LineKind::Count;  // or one of the errors; checked on its own
        case '7':
        case '8':
        case '9':
            return LineKind::End;
        default:
            return LineKind::Other;
    }
}

// An S1, S2, S5 or S6 line: the count byte, then as many bytes (address or count field, data,
// checksum), all hexadecimal, then nothing but spaces and tabs. A count record has no data.
void CheckCountedLine(std::string_view line, LineKind kind, const CS19Record& record) {
    const bool isCount = line[1] == '5' || line[1] == '6';
    const int fieldBytes = line[1] == '1' || line[1] == '5' ? 2 : 3;
    const int count = line.size() >= 4 ? ByteAt(line, 2) : -1;
    const size_t end = 4 + 2 * static_cast<size_t>(count < 0 ? 0 : count);
    bool wellFormed =
        (isCount ? count == fieldBytes + 1 : count >= fieldBytes + 1) && line.size() >= end;
    unsigned sum = 0;
    for (int i = 0; wellFormed && i <= count; ++i) {
        const int byte = ByteAt(line, 2 + 2 * static_cast<size_t>(i));
        wellFormed = byte >= 0;
        sum += static_cast<unsigned>(byte);
    }
    for (size_t pos = end; wellFormed && pos < line.size(); ++pos) {
        wellFormed = line[pos] == ' ' || line[pos] == '\t';
    }
    if (!wellFormed) {
        if (kind != LineKind::FormatError) {
            Fail("a malformed S1/S2/S5/S6 line was not a format error", line);
        }
        return;
    }
    if ((sum & 0xFF) != 0xFF) {
        if (kind != LineKind::ChecksumError) {
            Fail("an S1/S2/S5/S6 line with a wrong checksum was not a checksum error", line);
        }
        return;
    }
    if (kind != (isCount ? LineKind::Count : LineKind::Data)) {
        Fail("a well-formed S1/S2/S5/S6 line was not data or a count", line);
    }
    const int dataBytes = count - fieldBytes - 1;
    uint32_t field = 0;
    for (int i = 0; i < fieldBytes; ++i) {
        field = field << 8 | static_cast<uint32_t>(ByteAt(line, 4 + 2 * static_cast<size_t>(i)));
    }
    const size_t dataPos = 4 + 2 * static_cast<size_t>(fieldBytes);
    if (record.m_nCount != dataBytes || record.m_dwAddress != field ||
        record.m_strData != line.substr(dataPos, 2 * static_cast<size_t>(dataBytes)) ||
        record.m_nChecksum != ByteAt(line, 2 + 2 * static_cast<size_t>(count))) {
        Fail("the record does not hold the line's fields", line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    CS19Record record;
    const LineKind kind = ParseRecord(record, line);
    if (record.m_strType != line.substr(0, 2)) {
        Fail("the record type is not the line's first two characters", line);
    }
    const LineKind expected = ExpectedKind(line);
    if (expected == LineKind::Data || expected == LineKind::Count) {
        CheckCountedLine(line, kind, record);
    } else if (kind != expected) {
        Fail("the line is of another kind", line);
    }
    if (size == 2) {
        const int byte = ByteAt(line, 0);
        if (HexToByte(line) != (byte < 0 ? 0 : byte)) {
            Fail("HexToByte disagrees", line);
        }
    }
    return 0;
}
