// libFuzzer target for the document open: arbitrary bytes opened as a firmware file, the way
// File Open does it, through the container cut, the S-record reader and the image builder.
//
// The first byte picks the file's name, and with it the model and whether the text is cut as a
// 6K container; the remaining bytes are the file's content. Every input is opened in one private
// working directory, created at start-up, where the document leaves log1.bin, log2.bin and
// tmp.bin. Besides what the sanitizers catch, each run checks what an open promises about the
// files it leaves behind, and, when the records it read share no byte, the image byte by byte.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
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
// either folder separator (a backslash is part of the name on this system, but the document
// treats it as one), a name that only contains a prefix, and a file that is not there.
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

// The image that records sharing no byte make: byte k is address k, 0xFF where no record has a
// byte, up to the end of the 64-byte block that holds the last byte. Returns false when there is
// no such image to compare with: no record below the address limit, or records that overlap.
bool ExpectedImage(const std::vector<CS19Record>& records, std::string& image) {
    struct Span {
        uint32_t begin;
        uint32_t end;
        const CS19Record* record;
    };
    std::vector<Span> spans;
    for (const CS19Record& record : records) {
        if (record.m_dwAddress < CMotImage::kAddressLimit && record.m_nCount > 0) {
            spans.push_back({record.m_dwAddress,
                             record.m_dwAddress + static_cast<uint32_t>(record.m_nCount), &record});
        }
    }
    if (spans.empty()) {
        return false;
    }
    std::sort(spans.begin(), spans.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
    for (size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].begin < spans[i - 1].end) {
            return false;
        }
    }
    const uint32_t end = spans.back().end;
    const uint32_t block = CMotImage::kBlockBytes;
    image.assign((end + block - 1) / block * block, '\xFF');
    for (const Span& span : spans) {
        const std::string_view data = span.record->m_strData;
        if (data.size() != 2 * static_cast<size_t>(span.end - span.begin)) {
            Fail("a record's data does not match its count");
        }
        for (uint32_t k = span.begin; k < span.end; ++k) {
            image[k] = static_cast<char>(
                HexToByte(std::string_view(data).substr(2 * (k - span.begin), 2)));
        }
    }
    return true;
}

// What an open promises about the working directory, whichever way it went.
void CheckOutcome(const std::string& path, bool opened, const CDrovaneDoc& doc) {
    for (const char* output : kOutputs) {
        for (const char* suffix : {".new", ".new.part", ".part"}) {
            if (Exists(std::string(output) + suffix)) {
                Fail(std::string(output) + suffix + " was left behind");
            }
        }
    }
    if (!opened) {
        for (const char* output : kOutputs) {
            if (Exists(output)) {
                Fail(std::string(output) + " was written by a refused open");
            }
        }
        return;
    }

    const int model = LookUpModel(FileNameOf(path));
    if (model == 0) {
        Fail("a file whose name matches no model was opened");
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
    if (image.empty() || image.size() % CMotImage::kBlockBytes != 0) {
        Fail("tmp.bin of " + std::to_string(image.size()) + " bytes");
    }
    std::string expected;
    if (ExpectedImage(doc.m_image.m_listRecords, expected) && image != expected) {
        Fail("tmp.bin does not hold the records read (" + std::to_string(image.size()) +
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
    CheckOutcome(path, opened, doc);
    return 0;
}
