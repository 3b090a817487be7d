#include "image/DrovaneDoc.h"

#include <array>
#include <cctype>
#include <climits>
#include <new>

#include "framework/FileIo.h"
#include "framework/FileSeal.h"
#include "framework/Globals.h"
#include "framework/Host.h"
#include "framework/WorkFolder.h"
#include "image/LineReader.h"
#include "image/ModelCode.h"

namespace {

constexpr const char* kOpenFail = "File Open fail";
constexpr const char* kUnknownName = "This filename is unknown! Please confirm it !";
constexpr const char* kFormatError = "The file formate is error! Please confirm it !";
constexpr const char* kWriteError = "BIN File Write Error !";

constexpr std::string_view kControlMarker = "CTRL_BLOCK";
constexpr std::string_view kMpptMarker = "MPPT_BLOCK";
constexpr long kControlLinesMin = 2000;
constexpr long kControlLinesMax = 5000;
constexpr long kMpptLinesMax = 2000;

// First match wins, so the longer prefixes of a family come before the shorter ones.
constexpr std::array<ModelEntry, 10> kModelTable{{
    {"LB1~4K", kModel1To4K},
    {"LB4KA", kModel4KA},
    {"Tilm1~4K", kModel1To4K},
    {"Tilm4KA", kModel4KA},
    {"LB6Kctrl", kModel6K | kBlockControl},
    {"LB6Kmppt", kModel6K | kBlockMppt},
    {"LB6K", kModel6K | kBlockControl | kBlockMppt},
    {"Tilm6Kctrl", kSecondFamily | kModel6K | kBlockControl},
    {"Tilm6Kmppt", kSecondFamily | kModel6K | kBlockMppt},
    {"Tilm6K", kSecondFamily | kModel6K | kBlockControl | kBlockMppt},
}};

// Decimal value as the C library reads it: leading blanks and a sign, then digits up to the
// first other character; no digits give 0. Values beyond long saturate.
long DecimalValue(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    long value = 0;
    for (; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos) {
        const int digit = text[pos] - '0';
        value = value > (LONG_MAX - digit) / 10 ? LONG_MAX : value * 10 + digit;
    }
    return negative ? -value : value;
}

// Copies one block of the container: the marker line, the count line, then that many lines.
// Shows its own message and returns false when the block is not there as expected.
bool CutBlock(LineReader& lines, std::string_view marker, long minLines, long maxLines,
              std::string& block) {
    std::string_view line;
    if (!lines.Next(line) || line.substr(0, marker.size()) != marker) {
        AfxMessageBox(kUnknownName);
        return false;
    }
    if (!lines.Next(line)) {
        AfxMessageBox(kFormatError);
        return false;
    }
    const long count = DecimalValue(line);
    if (count < minLines || count > maxLines) {
        AfxMessageBox(kFormatError);
        return false;
    }
    // A block with fewer lines than counted is a container cut short.
    try {
        for (long copied = 0; copied < count; ++copied) {
            if (!lines.Next(line)) {
                AfxMessageBox(kFormatError);
                return false;
            }
            block.append(line);
            block.push_back('\n');
        }
    } catch (const std::bad_alloc&) {
        AfxMessageBox(kOpenFail);
        return false;
    }
    return true;
}

}  // namespace

int LookUpModel(std::string_view fileName) {
    for (const ModelEntry& entry : kModelTable) {
        if (fileName.substr(0, entry.prefix.size()) == entry.prefix) {
            return entry.code;
        }
    }
    return 0;
}

std::string_view ModelNameOf(std::string_view fileName) {
    for (const ModelEntry& entry : kModelTable) {
        if (fileName.substr(0, entry.prefix.size()) == entry.prefix) {
            return entry.prefix;
        }
    }
    return {};
}

std::string FileNameOf(const std::string& path) {
#ifdef _WIN32
    constexpr const char* kSeparators = "\\/";
#else
    constexpr const char* kSeparators = "/";  // a backslash is a character of the name here
#endif
    const size_t slash = path.find_last_of(kSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool CDrovaneDoc::OnNewDocument() {
    g_bDataReady = 0;
    return true;
}

bool CDrovaneDoc::OnOpenDocument(const std::string& path) {
    std::string text;
    std::string reason;
    if (!ReadWholeFile(path, text, reason)) {
        AfxMessageBox("Cannot open " + path + ": " + reason, MB_OK | MB_ICONEXCLAMATION);
        AfxMessageBox(kOpenFail);
        return false;
    }
    const std::string name = FileNameOf(path);
    const std::string notice = "You will update " + name + " !";
    const int model = LookUpModel(name);
    if (model == 0) {
        AfxMessageBox(kUnknownName);
        return false;
    }

    // Everything is written beside its final name and replaces it only once the whole open
    // succeeded, so a refused file never leaves its blocks next to the previous image.
    DropByteOrderMark(text);
    StagedFiles staged;
    LineReader lines(text);
    const struct {
        int mask;
        std::string_view marker;
        long minLines, maxLines;
        const char* file;
    } blocks[] = {
        {kHasControlBlock, kControlMarker, kControlLinesMin, kControlLinesMax, kControlBlockFile},
        {kHasMpptBlock, kMpptMarker, LONG_MIN, kMpptLinesMax, kMpptBlockFile},
    };
    std::vector<std::pair<std::string, std::string>> blockFiles;  // path and content
    for (const auto& block : blocks) {
        if ((model & block.mask) != block.mask) {
            continue;
        }
        std::string content;
        if (!CutBlock(lines, block.marker, block.minLines, block.maxLines, content)) {
            return false;
        }
        const std::string blockPath = WorkFile(block.file);
        if (!staged.Write(blockPath, content)) {
            AfxMessageBox(kWriteError);
            return false;
        }
        blockFiles.emplace_back(blockPath, std::move(content));
    }

    const std::string imagePath = WorkFile(kImageFile);
    // Only a plain file must end with an end record: a block is guarded by its line count.
    m_image.m_bRequireEnd = blockFiles.empty();
    // The control block, when there is one, makes the image.
    std::string imageSource = blockFiles.empty() ? std::move(text) : blockFiles.front().second;
    if (!m_image.BuildFromText(std::move(imageSource))) {
        return false;
    }
    if (!staged.Write(imagePath, m_image.WrittenBytes()) || !staged.Commit()) {
        AfxMessageBox(kWriteError);
        return false;
    }
    // Later steps take these files only as written here.
    SealFile(imagePath, m_image.WrittenBytes());
    for (const auto& [blockPath, content] : blockFiles) {
        SealFile(blockPath, content);
    }
    g_nFirmwareModel = model;
    g_bDataReady = 1;
    ++g_nDocumentOpens;
    AfxMessageBox(notice, MB_OK | MB_ICONINFORMATION);
    return true;
}
