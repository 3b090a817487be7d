#include "image/MotImage.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "framework/FileIo.h"
#include "framework/FileSeal.h"
#include "framework/Host.h"
#include "image/LineReader.h"

namespace {

constexpr const char* kReadFileError = "Read File Error !";
constexpr const char* kMemoryError = "S19 File Error (A) !";
constexpr const char* kNotS19Error = "Mot File Error (not S19 format) !";
constexpr const char* kRangeError = "Mot File Data Range Error !";
constexpr const char* kMaxRangeError = "Mot File Error (Execute the max range) !";
constexpr const char* kOverlapError = "Mot File Error(2) !";
constexpr const char* kWriteError = "BIN File Write Error !";

constexpr int kRowChars = 2 * CMotImage::kRowBytes;
// The shortest line a stored record can have: "S1", count, 2 address bytes, 1 data byte and
// checksum in 12 characters, and a line end.
constexpr size_t kShortestRecordLine = 13;
constexpr uint32_t kRowsPerBlock = CMotImage::kBlockBytes / CMotImage::kRowBytes;

void ShowLineError(const char* what, size_t lineNumber) {
    AfxMessageBox("S19 File " + std::string(what) + " Error (line " + std::to_string(lineNumber) +
                  ") !");
}

// True when a data record (S1, S2, S3) comes before the next end record or the end of the text.
bool DataRecordFollows(LineReader lines) {
    std::string_view line;
    while (lines.Next(line)) {
        if (line.size() >= 2 && line[0] == 'S') {
            if (line[1] >= '1' && line[1] <= '3') {
                return true;
            }
            if (line[1] >= '7' && line[1] <= '9') {
                return false;
            }
        }
    }
    return false;
}

// Where a stored record's bytes lie, [begin, end), and the line it came from.
struct Span {
    uint32_t begin;
    uint32_t end;
    uint32_t line;
};
static_assert(kMaxFileBytes <= UINT32_MAX, "a line number of a file fits 32 bits");

// The first line whose record shares a byte with a record of an earlier line, or 0 when no two
// records do. Sorts `spans` by address, unless they are in address order already, as the records
// of most files are.
uint32_t FirstOverlapLine(std::vector<Span>& spans) {
    const auto byAddress = [](const Span& a, const Span& b) { return a.begin < b.begin; };
    if (!std::is_sorted(spans.begin(), spans.end(), byAddress)) {
        std::sort(spans.begin(), spans.end(), byAddress);
    }
    // In address order, the records up to line `last` overlap when one starts before an earlier
    // one ends.
    const auto overlapsUpTo = [&spans](uint32_t last) {
        uint32_t reached = 0;
        for (const Span& span : spans) {
            if (span.line <= last) {
                if (span.begin < reached) {
                    return true;
                }
                reached = std::max(reached, span.end);
            }
        }
        return false;
    };
    uint32_t clean = 0;                 // the records up to this line share no byte
    uint32_t overlapping = UINT32_MAX;  // and up to this one they do
    if (!overlapsUpTo(overlapping)) {
        return 0;
    }
    // Once a line's record overlaps an earlier one, every longer prefix of the file overlaps too,
    // so the first such line is found by halving.
    while (overlapping - clean > 1) {
        const uint32_t middle = clean + (overlapping - clean) / 2;
        (overlapsUpTo(middle) ? overlapping : clean) = middle;
    }
    return overlapping;
}

// The four bytes that eight hexadecimal digits of either case stand for, in memory order, taken
// eight characters at once: a digit's value is its low four bits, plus 9 for a letter (bit 6).
// A row holds nothing else; the records' digits were checked when they were read.
uint32_t HexToFourBytes(const char* digits) {
    static_assert(std::endian::native == std::endian::little, "characters load low byte first");
    constexpr uint64_t kEachByte = 0x0101010101010101ULL;
    constexpr int kLetterBit = 6;
    constexpr uint64_t kLetterOffset = 9;
    uint64_t chars;
    std::memcpy(&chars, digits, sizeof chars);
    const uint64_t values =
        (chars & 0x0F * kEachByte) + (chars >> kLetterBit & kEachByte) * kLetterOffset;
    // Each 16-bit lane holds a high digit, then a low one: make it the byte they spell, then
    // close the gaps between the four bytes.
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFULL;
    uint64_t packed = (values & kLowBytes) << 4 | (values >> 8 & kLowBytes);
    packed = (packed | packed >> 8) & 0x0000FFFF0000FFFFULL;
    return static_cast<uint32_t>(packed | packed >> 16);
}

CBinRow MakeFillRow(uint32_t address) {
    CBinRow row;
    row.m_dwAddress = address;
    row.m_nSize = CMotImage::kRowBytes;
    row.m_strData.fill('F');
    return row;
}

}  // namespace

bool CMotImage::ReadMotFile(const std::string& path) {
    std::string text;
    std::string reason;
    // A working file this run wrote is taken only as it was written.
    if (!ReadWholeFile(path, text, reason) || (IsSealed(path) && !MatchesSeal(path, text))) {
        AfxMessageBox(kReadFileError);
        return false;
    }
    DropByteOrderMark(text);
    return ReadMotText(std::move(text));
}

bool CMotImage::ReadMotText(std::string text) {
    // The records point into the text, so it must live on the heap, where a move leaves it.
    try {
        text.reserve(std::max<size_t>(text.size(), 2 * sizeof(std::string)));
        if (ParseMotText(text)) {
            m_listSorted.clear();  // they point into the text read before
            m_listLate.clear();
            m_fileText = std::move(text);
            return true;
        }
    } catch (const std::bad_alloc&) {
        AfxMessageBox(kMemoryError);
    }
    // A refused file leaves nothing behind that a later step could build an image from.
    m_listRecords.clear();
    return false;
}

bool CMotImage::ParseMotText(const std::string& text) {
    // Every stored record takes a line of at least this many characters, so the lists reserved
    // below never grow, and hold no more entries than the file has such lines.
    const size_t bound = text.size() / kShortestRecordLine + 1;
    std::vector<CS19Record> records;
    records.reserve(bound);
    std::vector<Span> spans;
    spans.reserve(bound);
    CS19Record record;
    size_t dataRecords = 0;  // S1/S2 lines so far, with or without data, as count records count
    LineReader lines(text);
    std::string_view line;
    bool ended = false;
    bool endSeen = false;
    while (!ended && lines.Next(line)) {
        const auto lineNumber = static_cast<uint32_t>(lines.LineNumber());
        switch (ParseRecord(record, line)) {
            case LineKind::Data:
                ++dataRecords;
                if (record.m_nCount > 0) {
                    records.push_back(record);
                    spans.push_back({record.m_dwAddress,
                                     record.m_dwAddress + static_cast<uint32_t>(record.m_nCount),
                                     lineNumber});
                }
                break;
            case LineKind::Count:
                if (record.m_dwAddress != dataRecords) {
                    ShowLineError("Format", lineNumber);
                    return false;
                }
                break;
            case LineKind::Header:
            case LineKind::Skip:
                break;
            case LineKind::FormatError:
                ShowLineError("Format", lineNumber);
                return false;
            case LineKind::ChecksumError:
                ShowLineError("Checksum", lineNumber);
                return false;
            case LineKind::WideData:
                // Ending here would drop this record's data along with the rest of the file.
                if (dataRecords > 0) {
                    ShowLineError("Format", lineNumber);
                    return false;
                }
                ended = true;
                break;
            case LineKind::Other:
                // Reading ends here, but never at the cost of data further down, nor before the
                // end record that a whole file must have.
                if (dataRecords > 0 && (m_bRequireEnd || DataRecordFollows(lines))) {
                    ShowLineError("Format", lineNumber);
                    return false;
                }
                ended = true;
                break;
            case LineKind::End:
                ended = true;
                endSeen = true;
                break;
        }
    }
    // Data that no end record follows may have been cut short.
    if (m_bRequireEnd && dataRecords > 0 && !endSeen) {
        ShowLineError("Format", lines.LineNumber() + 1);
        return false;
    }
    // A byte given twice is a file put together wrongly: which value was meant cannot be told.
    if (const uint32_t overlap = FirstOverlapLine(spans); overlap != 0) {
        ShowLineError("Format", overlap);
        return false;
    }
    m_listRecords = std::move(records);
    return true;
}

bool CMotImage::SortRecords() {
    m_listLate.clear();
    m_listSorted.clear();
    m_nOutsideFlash = 0;
    if (m_listRecords.empty()) {
        AfxMessageBox(kNotS19Error);
        return false;
    }
    m_listSorted.reserve(m_listRecords.size());
    uint32_t lastKept = 0;
    for (const CS19Record& record : m_listRecords) {
        if (record.m_dwAddress >= kAddressLimit) {
            ++m_nOutsideFlash;
            continue;
        }
        if (record.m_dwAddress < lastKept) {
            m_listLate.push_back(record);
        } else {
            m_listSorted.push_back(record);
            lastKept = record.m_dwAddress;
        }
    }
    if (m_listSorted.empty()) {
        AfxMessageBox(kRangeError);
        return false;
    }
    if (m_listLate.empty()) {
        return true;
    }
    // Each late record goes before the first record whose address is not lower than its own,
    // so among equal addresses the late records come first, the last one to arrive foremost.
    std::vector<const CS19Record*> late;
    late.reserve(m_listLate.size());
    for (auto it = m_listLate.rbegin(); it != m_listLate.rend(); ++it) {
        late.push_back(&*it);
    }
    std::stable_sort(late.begin(), late.end(), [](const CS19Record* a, const CS19Record* b) {
        return a->m_dwAddress < b->m_dwAddress;
    });
    std::vector<CS19Record> merged;
    merged.reserve(m_listSorted.size() + late.size());
    auto lateIt = late.begin();
    for (CS19Record& record : m_listSorted) {
        for (; lateIt != late.end() && (*lateIt)->m_dwAddress <= record.m_dwAddress; ++lateIt) {
            merged.push_back(**lateIt);
        }
        merged.push_back(std::move(record));
    }
    for (; lateIt != late.end(); ++lateIt) {
        merged.push_back(**lateIt);
    }
    m_listSorted = std::move(merged);
    return true;
}

bool CMotImage::BuildRows() {
    if (m_listSorted.empty()) {
        AfxMessageBox(kMaxRangeError);
        return false;
    }
    m_listRows.clear();
    size_t rows = 0;
    for (const CS19Record& record : m_listSorted) {
        rows += (record.m_dwAddress % kRowBytes +
                 static_cast<size_t>(std::max(record.m_nCount, 0)) + kRowBytes - 1) /
                kRowBytes;
    }
    m_listRows.reserve(rows);
    for (const CS19Record& record : m_listSorted) {
        if (record.m_nCount <= 0) {
            continue;
        }
        // The record's bytes, with filler in front up to its address and behind up to the end
        // of its last row. A record is cut into as many rows as it covers; every row after the
        // first takes the rest of the first row's boundary as its lead.
        const uint32_t lead = record.m_dwAddress % kRowBytes;
        const size_t used = lead + static_cast<size_t>(record.m_nCount);
        const size_t rowCount = (used + kRowBytes - 1) / kRowBytes;
        const std::string_view data = record.m_strData;
        size_t taken = 0;  // characters of the record's data placed so far
        for (size_t i = 0; i < rowCount; ++i) {
            CBinRow& row = m_listRows.emplace_back();
            row.m_nLead = static_cast<int>(i == 0 ? lead : kRowBytes - lead);
            row.m_dwAddress = record.m_dwAddress - lead + static_cast<uint32_t>(i * kRowBytes);
            row.m_nSize = kRowBytes;
            const size_t front = i == 0 ? 2 * lead : 0;
            const size_t count = std::min<size_t>(kRowChars - front, data.size() - taken);
            if (count == kRowChars) {
                std::memcpy(row.m_strData.data(), data.data() + taken, kRowChars);
            } else {
                row.m_strData.fill('F');  // the record leaves some of the row's bytes free
                data.copy(row.m_strData.data() + front, count, taken);
            }
            taken += count;
        }
    }
    return true;
}

void CMotImage::MergeRows() {
    m_listMerged.clear();
    m_listMerged.reserve(m_listRows.size());
    for (const CBinRow& row : m_listRows) {
        if (m_listMerged.empty() || m_listMerged.back().m_dwAddress != row.m_dwAddress) {
            m_listMerged.push_back(row);
            continue;
        }
        // The earlier row's bytes up to the lead, then this row's bytes.
        CBinRow& previous = m_listMerged.back();
        const size_t leadChars = 2 * static_cast<size_t>(std::clamp(row.m_nLead, 0, 16));
        CBinRow merged = row;
        std::copy_n(previous.m_strData.begin(), leadChars, merged.m_strData.begin());
        previous = merged;
    }
}

bool CMotImage::FillGaps() {
    m_listImage.clear();
    m_listImage.reserve(m_listMerged.size() + kRowsPerBlock);
    uint32_t nextAddress = 0;  // the image always starts at address 0
    for (const CBinRow& row : m_listMerged) {
        if (!m_listImage.empty() && row.m_dwAddress < m_listImage.back().m_dwAddress) {
            AfxMessageBox(kOverlapError);
            return false;
        }
        for (; nextAddress < row.m_dwAddress; nextAddress += kRowBytes) {
            m_listImage.push_back(MakeFillRow(nextAddress));
        }
        m_listImage.push_back(row);
        nextAddress = row.m_dwAddress + kRowBytes;
    }
    if (m_listImage.empty()) {
        return true;
    }
    for (; nextAddress % kBlockBytes != 0; nextAddress += kRowBytes) {
        m_listImage.push_back(MakeFillRow(nextAddress));
    }
    return true;
}

std::string CMotImage::ImageBytes() const {
    std::string bytes(m_listImage.size() * kRowBytes, '\0');
    char* out = bytes.data();
    for (const CBinRow& row : m_listImage) {
        for (size_t i = 0; i < kRowChars; i += sizeof(uint64_t), out += sizeof(uint32_t)) {
            const uint32_t four = HexToFourBytes(row.m_strData.data() + i);
            std::memcpy(out, &four, sizeof four);
        }
    }
    return bytes;
}

bool CMotImage::WriteBinFile(const std::string& path) {
    std::string bytes = ImageBytes();
    if (!WriteFileAtomically(path, bytes)) {
        AfxMessageBox(kWriteError);
        return false;
    }
    m_binBytes = std::move(bytes);
    return true;
}

bool CMotImage::ConvertRecords() {
    if (!SortRecords() || !BuildRows()) {
        return false;
    }
    MergeRows();
    return FillGaps();
}

bool CMotImage::Build(const std::string& sourcePath, const std::string& binPath) {
    return ReadMotFile(sourcePath) && ConvertRecords() && WriteBinFile(binPath);
}

bool CMotImage::BuildFromText(std::string text) {
    if (!ReadMotText(std::move(text)) || !ConvertRecords()) {
        return false;
    }
    m_binBytes = ImageBytes();
    return true;
}
