// libFuzzer target for the document open: arbitrary bytes opened as a firmware file, the way
// File Open does it, through the container cut, the S-record reader and the image builder.
//
// The first byte picks the file's name, and with it the model and whether the text is cut as a
// 6K container; the remaining bytes are the file's content. Every input is opened in one private
// working directory, created at start-up, where the document leaves log1.bin, log2.bin and
// tmp.bin. Besides what the sanitizers catch, each run checks what an open promises about the
// files it leaves behind, and holds the outcome against a reading of the file made here, apart
// from the reader: the open must succeed exactly when that reading finds a good file, and
// tmp.bin must then hold every data byte the file gives below the address limit, at its address,
// and 0xFF everywhere else.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "framework/Globals.h"
#include "framework/Host.h"
#include "image/DrovaneDoc.h"
#include "image/ModelCode.h"

namespace {

namespace fs = std::filesystem;

// Shows nothing and answers every message box with OK.
class SilentHost : public Host {
public:
    int MessageBox(const std::string&, unsigned) override { return IDOK; }
};

struct NameChoice {
    const char* path;
    bool present;  // false: there is no such file to open
};

// Every row of the model table, a name in the wrong letter case, the bare prefix, names behind
// a folder and behind a backslash (part of the name on this system, so no model is found), a
// name that only contains a prefix, and a file that is not there.
constexpr std::array<NameChoice, 16> kNames{{
    {"LB1~4K_fuzz.mot", true},
    {"LB4KA_fuzz.mot", true},
    {"Tilm1~4K_fuzz.mot", true},
    {"Tilm4KA_fuzz.mot", true},
    {"LB6Kctrl_fuzz.mot", true},
    {"LB6Kmppt_fuzz.mot", true},
    {"LB6K_fuzz.mot", true},
    {"Tilm6Kctrl_fuzz.mot", true},
    {"Tilm6Kmppt_fuzz.mot", true},
    {"Tilm6K_fuzz.mot", true},
    {"lb1~4k_fuzz.mot", true},
    {"LB1~4K", true},
    {"sub/LB6K_fuzz.mot", true},
    {"sub\\Tilm4KA_fuzz.mot", true},
    {"sub/x_LB1~4K.mot", true},
    {"LB4KA_missing.mot", false},
}};

constexpr std::array<const char*, 3> kOutputs{kImageFile, kControlBlockFile, kMpptBlockFile};

std::string g_workDir;

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "doc_open_fuzzer: %s\n", what.c_str());
    std::abort();
}

// An independent reading of the file, written from the file format rather than from the reader,
// so that data the reader drops or takes twice shows up as a difference.

// The lines of a text: LF, CR LF and a lone CR each end one; the last line needs no end.
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

int Nibble(char c) {
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

// The bytes a record line spells after its type: count, address or count field, data,
// checksum. Empty when the line is malformed: a wrong count, a character that is not
// hexadecimal, missing characters or anything but spaces and tabs after the checksum.
std::vector<uint8_t> RecordBytes(std::string_view line) {
    std::vector<uint8_t> bytes;
    size_t pos = 2;
    for (size_t wanted = 1; bytes.size() < wanted; pos += 2) {
        if (pos + 1 >= line.size() || Nibble(line[pos]) < 0 || Nibble(line[pos + 1]) < 0) {
            return {};
        }
        bytes.push_back(static_cast<uint8_t>(Nibble(line[pos]) * 16 + Nibble(line[pos + 1])));
        wanted = 1 + bytes[0];
    }
    for (; pos < line.size(); ++pos) {
        if (line[pos] != ' ' && line[pos] != '\t') {
            return {};
        }
    }
    return bytes;
}

struct DataRecord {
    uint32_t address;
    std::vector<uint8_t> data;
};

struct Decoded {
    bool mustFail = false;            // the text holds what an open has to refuse
    std::vector<DataRecord> records;  // with data, in file order, up to where reading stops
};

// Reads the lines of a firmware file or of a block cut from a container.
Decoded Decode(const std::vector<std::string_view>& lines, bool requireEnd) {
    Decoded decoded;
    size_t dataRecords = 0;  // with or without data bytes
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.find_first_not_of(" \t\f\v") == std::string_view::npos) {
            continue;
        }
        const char type = line.size() >= 2 && line[0] == 'S' ? line[1] : '?';
        if (type == '0') {
            continue;
        }
        if (type == '7' || type == '8' || type == '9') {
            requireEnd = false;
            break;
        }
        if (type == '1' || type == '2' || type == '5' || type == '6') {
            const size_t fieldBytes = type == '1' || type == '5' ? 2 : 3;
            const std::vector<uint8_t> bytes = RecordBytes(line);
            unsigned sum = 0;
            for (uint8_t byte : bytes) {
                sum += byte;
            }
            if (bytes.size() < 2 + fieldBytes || (sum & 0xFF) != 0xFF) {
                decoded.mustFail = true;
                return decoded;
            }
            uint32_t field = 0;
            for (size_t k = 1; k <= fieldBytes; ++k) {
                field = field << 8 | bytes[k];
            }
            const std::vector<uint8_t> data(bytes.begin() + 1 + fieldBytes, bytes.end() - 1);
            if (type == '5' || type == '6') {
                if (!data.empty() || field != dataRecords) {
                    decoded.mustFail = true;
                    return decoded;
                }
                continue;
            }
            ++dataRecords;
            if (!data.empty()) {
                decoded.records.push_back({field, data});
            }
            continue;
        }
        // Any other line ends reading: never where data would be lost or an end is missing.
        if (dataRecords > 0) {
            if (type == '3' || requireEnd) {
                decoded.mustFail = true;
                return decoded;
            }
            for (size_t k = i + 1; k < lines.size(); ++k) {
                const std::string_view later = lines[k];
                const char laterType = later.size() >= 2 && later[0] == 'S' ? later[1] : '?';
                if (laterType >= '1' && laterType <= '3') {
                    decoded.mustFail = true;
                    return decoded;
                }
                if (laterType >= '7' && laterType <= '9') {
                    break;
                }
            }
        }
        requireEnd = false;
        break;
    }
    if (requireEnd && dataRecords > 0) {
        decoded.mustFail = true;
        return decoded;
    }
    // Two records for one byte, wherever it is.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (const DataRecord& record : decoded.records) {
        spans.push_back({record.address, record.address + record.data.size()});
    }
    std::sort(spans.begin(), spans.end());
    for (size_t k = 1; k < spans.size(); ++k) {
        if (spans[k].first < spans[k - 1].second) {
            decoded.mustFail = true;
        }
        spans[k].second = std::max(spans[k].second, spans[k - 1].second);
    }
    return decoded;
}

// The lines of the block the image is built from, cut from a 6K container as the model calls
// for: each block a marker line, a count line and that many lines. False when the container is
// to be refused.
bool CutImageBlock(const std::vector<std::string_view>& lines, int model,
                   std::vector<std::string_view>& imageBlock) {
    struct BlockShape {
        int mask;
        std::string_view marker;
        long minLines;
        long maxLines;
    };
    constexpr BlockShape kShapes[] = {
        {kHasControlBlock, "CTRL_BLOCK", 2000, 5000},
        {kHasMpptBlock, "MPPT_BLOCK", LONG_MIN, 2000},
    };
    size_t next = 0;
    bool chosen = false;
    for (const BlockShape& shape : kShapes) {
        if ((model & shape.mask) != shape.mask) {
            continue;
        }
        if (next >= lines.size() || lines[next].substr(0, shape.marker.size()) != shape.marker ||
            next + 1 >= lines.size()) {
            return false;
        }
        const std::string countText(lines[next + 1]);
        const long count = std::strtol(countText.c_str(), nullptr, 10);
        if (count < shape.minLines || count > shape.maxLines) {
            return false;
        }
        next += 2;
        const size_t taken = count > 0 ? static_cast<size_t>(count) : 0;
        if (lines.size() - next < taken) {
            return false;
        }
        if (!chosen) {
            imageBlock.assign(lines.begin() + static_cast<long>(next),
                              lines.begin() + static_cast<long>(next + taken));
            chosen = true;
        }
        next += taken;
    }
    return true;
}

// The image of the records that start below the address limit: each byte at its address, 0xFF
// where no record has a byte, up to the end of the 64-byte block that holds the last byte.
// Empty when no record starts below the limit.
std::string ExpectedImage(const std::vector<DataRecord>& records) {
    constexpr uint32_t kLimit = 0x20000;
    constexpr uint32_t kBlock = 64;
    uint64_t end = 0;
    for (const DataRecord& record : records) {
        if (record.address < kLimit) {
            end = std::max<uint64_t>(end, record.address + record.data.size());
        }
    }
    std::string image((end + kBlock - 1) / kBlock * kBlock, '\xFF');
    for (const DataRecord& record : records) {
        if (record.address < kLimit) {
            std::copy(record.data.begin(), record.data.end(), image.begin() + record.address);
        }
    }
    return image;
}

// What an open promises about the working directory, whichever way it went, and, from the
// independent reading of the file, whether it had to succeed and the image it had to build.
void CheckOutcome(const NameChoice& name, std::string_view text, bool opened) {
    // Staged files have fresh names that begin with their final one.
    for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
        const std::string file = entry.path().filename().string();
        for (const char* output : kOutputs) {
            if (file != output && file.starts_with(output)) {
                Fail(file + " was left behind");
            }
        }
    }

    const int model = LookUpModel(FileNameOf(name.path));
    // A UTF-8 byte-order mark opens a file's text only at its very start.
    constexpr std::string_view kMark = "\xEF\xBB\xBF";
    const std::vector<std::string_view> lines =
        SplitLines(text.substr(0, kMark.size()) == kMark ? text.substr(kMark.size()) : text);
    // A 6K model's image comes from a block of the container, which needs no end record.
    const bool container = (model & kModel6K) == kModel6K;
    std::vector<std::string_view> imageBlock = lines;
    const bool cut = !container || CutImageBlock(lines, model, imageBlock);
    const Decoded decoded = Decode(imageBlock, !container);
    const std::string expected = ExpectedImage(decoded.records);
    const bool mustOpen =
        name.present && model != 0 && cut && !decoded.mustFail && !expected.empty();
    if (opened != mustOpen) {
        Fail(opened ? "a file that had to be refused was opened"
                    : "a file that had to be opened was refused");
    }

    if (!opened) {
        for (const char* output : kOutputs) {
            if (Exists(output)) {
                Fail(std::string(output) + " was written by a refused open");
            }
        }
        return;
    }
    if (g_bDataReady != 1 || g_nFirmwareModel != model) {
        Fail("the program-wide values do not announce the opened file");
    }
    if (Exists(kControlBlockFile) != ((model & kHasControlBlock) == kHasControlBlock)) {
        Fail("log1.bin present or missing against the model");
    }
    if (Exists(kMpptBlockFile) != ((model & kHasMpptBlock) == kHasMpptBlock)) {
        Fail("log2.bin present or missing against the model");
    }
    std::ifstream file(kImageFile, std::ios::binary);
    if (!file) {
        Fail("no tmp.bin after an open that succeeded");
    }
    const std::string image{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (image != expected) {
        Fail("tmp.bin does not hold the file's records (" + std::to_string(image.size()) +
             " bytes, " + std::to_string(expected.size()) + " expected)");
    }
}

// Inputs run in the working directory, which libFuzzer does not expect to change: it keeps using
// the paths among its arguments (corpus folders, inputs to run, the artifact prefix, the
// dictionary) while fuzzing. So those are made absolute against the folder the fuzzer was started
// from, and crash files go there too unless told otherwise, as they would without the change.
// libFuzzer refuses a changed argv[0], and fork and job modes start the program again by that
// name from the parent's working directory; so the change waits for the first input, which
// those modes' parent never runs.
std::vector<std::string> g_args;
std::vector<char*> g_argv;

std::string Absolute(const std::string& cwd, const std::string& path) {
    return path.empty() || path[0] == '/' ? path : cwd + "/" + path;
}

void MakePathsAbsolute(int* argc, char*** argv, const std::string& cwd) {
    constexpr std::array<std::string_view, 6> kPathFlags{
        "-artifact_prefix=",    "-exact_artifact_path=", "-dict=",
        "-merge_control_file=", "-features_dir=",        "-mutation_graph_file=",
    };
    bool artifactsPlaced = false;
    g_args.push_back((*argv)[0]);
    for (int i = 1; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        if (arg.empty() || arg[0] != '-') {
            arg = Absolute(cwd, arg);
        } else {
            for (std::string_view flag : kPathFlags) {
                if (arg.compare(0, flag.size(), flag) == 0) {
                    arg = std::string(flag) + Absolute(cwd, arg.substr(flag.size()));
                    artifactsPlaced = artifactsPlaced || flag == "-artifact_prefix=" ||
                                      flag == "-exact_artifact_path=";
                }
            }
        }
        g_args.push_back(arg);
    }
    if (!artifactsPlaced) {
        g_args.push_back("-artifact_prefix=" + cwd + "/");
    }
    for (std::string& arg : g_args) {
        g_argv.push_back(arg.data());
    }
    g_argv.push_back(nullptr);
    *argc = static_cast<int>(g_args.size());
    *argv = g_argv.data();
}

void RemoveWorkDir() {
    std::error_code ignored;
    fs::remove_all(g_workDir, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const std::string cwd = fs::current_path().string();
    MakePathsAbsolute(argc, argv, cwd);

    std::string pattern = (fs::temp_directory_path() / "doc_open_fuzzer-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        Fail("cannot create a working directory under " + fs::temp_directory_path().string());
    }
    g_workDir = pattern;
    fs::create_directory(g_workDir + "/sub");
    std::atexit(RemoveWorkDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool entered = (fs::current_path(g_workDir), true);
    static_cast<void>(entered);
    if (size == 0) {
        return 0;
    }
    const NameChoice& name = kNames[data[0] % kNames.size()];
    const std::string path = name.path;
    for (const char* output : kOutputs) {
        std::remove(output);
    }
    if (name.present) {
        std::FILE* file = std::fopen(name.path, "wb");
        if (file == nullptr) {
            Fail(std::string("cannot write ") + name.path);
        }
        const bool written = std::fwrite(data + 1, 1, size - 1, file) == size - 1;
        if (std::fclose(file) != 0 || !written) {
            Fail(std::string("cannot write ") + name.path);
        }
    }

    SilentHost host;
    ScopedHost installed(host);
    g_nFirmwareModel = 0;
    CDrovaneDoc doc;
    doc.OnNewDocument();
    const bool opened = doc.OnOpenDocument(path);
    CheckOutcome(name, std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), opened);
    return 0;
}
