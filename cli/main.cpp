// flashtool: the firmware-update tool's command line. Each subcommand is a thin layer over the
// same document and view as the window: it opens the firmware file as File Open does, then runs
// the command the window's menu would.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "cli/Config.h"
#include "cli/ConsoleHost.h"
#include "cli/ExitStatus.h"
#include "cli/MultiRun.h"
#include "cli/RunRecord.h"
#include "cli/Sha256.h"
#include "cli/Station.h"
#include "device/DrovaneView.h"
#include "framework/FileIo.h"
#include "framework/Globals.h"
#include "framework/InstallPaths.h"
#include "framework/WorkFolder.h"
#include "image/DrovaneDoc.h"
#include "image/ModelCode.h"
#include "link/PortList.h"
#include "link/SelectableComm.h"
#include "sim/SimComm.h"
#include "sim/VirtualHost.h"

namespace {

constexpr int kMaxPortNumber = 255;  // COM255 is the last a system names

struct Options {
    std::string port;                // the one port of this run
    std::vector<std::string> ports;  // as given: several start one child run each
    bool json = false;
    std::string log;
    std::string edition = "A";
    std::string installDir;
    bool trace = false;
    std::string simModel = "VX360R";
    std::string simVersion = "S1.03";
    bool simBootMode = false;
    std::string simInLoader;
    std::string simFaults;
    std::string simUnitId;
    int simRestartMs = 8000;
    bool simVirtual = false;
    std::string workDir;
    std::string block;         // restart: which block of the file to send
    bool only = false;         // restart: that block alone, not the blocks a Flash sends after it
    bool unchecked = false;    // flash a unit that cannot be checked against the file
    int retries = 0;           // further tries of a block whose write start or transfer failed
    bool confirm = false;      // identify the unit again after programming
    bool check = false;        // the check command: the Flash's model checks, nothing written
    bool stationWait = false;  // a station's unit: wait until one answers, then flash it
    std::string stationAfter;  // the unit served before on the port, not taken until it went
};

// The blocks `restart` can send, and the file each is built from.
constexpr const char* kBlockControl6K = "control";
constexpr const char* kBlockMppt6K = "mppt";
constexpr const char* kBlockTempErase = "temperase";

// The block a restart sends: the one named by --block, or the file's only block. Returns
// false with a usage message when the choice is missing or does not fit the file.
bool ChooseRestartBlock(const std::string& firmware, std::string& block, std::string& message) {
    const int model = LookUpModel(FileNameOf(firmware));
    const bool control = (model & kHasControlBlock) == kHasControlBlock;
    const bool mppt = (model & kHasMpptBlock) == kHasMpptBlock;
    if (control && mppt) {
        if (block.empty()) {
            message = "restart: " + FileNameOf(firmware) +
                      " holds both blocks; name the one the unit waits for with --block "
                      "control|mppt|temperase";
            return false;
        }
        return true;
    }
    const std::string own = mppt ? kBlockMppt6K : kBlockControl6K;
    if (block.empty()) {
        block = own;
        return true;
    }
    if (block == own || (block == kBlockTempErase && (model & kModel6K) == kModel6K)) {
        return true;
    }
    message =
        "--block " + block + ": " + FileNameOf(firmware) + " holds only the " + own + " block";
    return false;
}

// The bytes as hexadecimal pairs, each followed by `separator` but the last.
std::string Hex(const CByteArray& bytes, const char* separator = " ") {
    std::string text;
    char pair[3];
    for (uint8_t byte : bytes) {
        if (!text.empty()) {
            text += separator;
        }
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

// The run's record, and where its progress and summaries go (stderr when stdout is JSON).
RunRecord g_record;
ProgressOutput g_progress(stdout);

// What the record is made of as the run goes on.
struct RunState {
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool transfers = false;     // the command programs the unit (identify does not)
    bool flash = false;         // a Flash run counts its blocks as steps
    bool transferDone = false;  // the last programming transfer ended with the unit's answer
    bool unitKept = false;      // the record's model and version are the run's unit's, kept
    int64_t shareBytes = 0;     // of the transfers that completed, for the line share
    double shareSeconds = 0;
    const char* step = "work-folder";    // the step under way, as failed_step names it
    const CDrovaneView* view = nullptr;  // the unit's view while a command runs
    bool boot = false;                   // the boot road, which hands the controller over first
    bool sentAny = false;                // a byte went out: the port opened
    bool imageMissing = false;           // an installation image was not found
    Clock* unitClock = nullptr;          // the virtual clock the record's seconds follow
    std::optional<double> unitSeconds;   // its time when the unit's part of the run ended
    std::vector<RunRecord::Block> sent;  // the images sent, by block (sha256 and size)
    size_t failedTransferOf = SIZE_MAX;  // the block whose last transfer failed
    int failedTransferTry = 0;
};
RunState g_run;

// The step a run ended in, as far as the view shows it: "command" stands for the unit's part.
const char* StepOfCommand(const CDrovaneView& view) {
    if (!g_run.sentAny) {
        return g_run.imageMissing ? "file" : "port";
    }
    if (view.m_bUncheckedRefused) {
        return view.m_lastUnit.answered ? "model-check" : "identify";
    }
    if (view.m_blockTries.empty()) {
        return !g_run.sent.empty()        ? (g_run.failedTransferOf == 0 ? "transfer" : "restart")
               : g_run.boot               ? "handover"
               : view.m_lastUnit.answered ? "model-check"
                                          : "identify";
    }
    const size_t last = view.m_blockTries.size() - 1;
    const CDrovaneView::BlockTry& block = view.m_blockTries[last];
    if (g_run.failedTransferOf == last && g_run.failedTransferTry == block.tries) {
        return "transfer";
    }
    return block.done ? "restart" : "write-start";
}

// The blocks the command sent, with the images their transfers took.
std::vector<RunRecord::Block> SentBlocks(const CDrovaneView& view) {
    std::vector<RunRecord::Block> blocks = g_run.sent;
    if (!view.m_blockTries.empty()) {
        blocks.resize(view.m_blockTries.size());
    }
    for (size_t i = 0; i < view.m_blockTries.size(); ++i) {
        blocks[i].name = view.m_blockTries[i].name;
        blocks[i].tries = view.m_blockTries[i].tries;
        blocks[i].done = view.m_blockTries[i].done;
    }
    return blocks;
}

// Brings the record up to date with the run, and prepares it as a stop would end it now.
void UpdateRecord() {
    if (g_run.view != nullptr) {
        const CDrovaneView& view = *g_run.view;
        const UnitIdentity& unit = view.m_runUnit ? *view.m_runUnit : view.m_lastUnit;
        if (unit.answered && !unit.id.empty() && !g_run.unitKept) {
            g_record.unitId = Hex(unit.id, "");
        }
        g_record.blocks = SentBlocks(view);
    }
    g_record.failedStep = g_run.step == std::string("command") && g_run.view != nullptr
                              ? StepOfCommand(*g_run.view)
                              : g_run.step;
    if (g_szUnitVersion[0] != '\0' && !g_run.unitKept) {
        std::string model(g_szUnitModel, sizeof g_szUnitModel);
        model.erase(model.find_last_not_of(std::string(" \0", 2)) + 1);
        g_record.model = model;
        g_record.version = std::string(g_szUnitVersion, strnlen(g_szUnitVersion, 5));
    }
    if (g_run.transfers) {
        g_record.stepsTotal = g_run.flash ? g_nStepCount : 1;
        g_record.stepsDone = g_run.flash ? g_nStepIndex : (g_run.transferDone ? 1 : 0);
    }
    g_record.seconds =
        g_run.unitClock != nullptr ? static_cast<double>(g_run.unitClock->NowNs()) / 1e9
        : g_run.unitSeconds
            ? *g_run.unitSeconds
            : std::chrono::duration<double>(std::chrono::steady_clock::now() - g_run.started)
                  .count();
    StopRecord::Prepare(g_record);
}

// Shows a message of the command line's own and keeps it for the run's record.
void Say(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    g_record.Note(text);
    UpdateRecord();
}

// Opens (and creates) the working folder and takes its lock; false after a message.
bool HoldWorkFolder(const std::string& folder, WorkFolderLock& lock) {
    if (!folder.empty()) {
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error) {
            Say("Cannot use the working folder " + folder + ": " + error.message());
            return false;
        }
    }
    SetWorkFolder(folder);
    std::string reason;
    if (!lock.Acquire(folder, reason)) {
        Say(reason);
        return false;
    }
    return true;
}

// The serial port the command runs on, with what it needs alive: a system port, or the
// simulated unit (in real time, or in virtual time with a host of its own).
class Connection {
public:
    Connection(const Options& options, Host& realHost) {
        if (options.port != "sim") {
            // A number, a system port's name, or a network address.
            short number = 1;
            m_comm = MakePortByName(SystemPort(options.port, number));
            g_nCommPort = number;
            m_host = &realHost;
            WatchInput();
            return;
        }
        SimUnit::Options unit;
        unit.model = options.simModel;
        unit.version = options.simVersion;
        unit.bootMode = options.simBootMode;
        unit.inLoader = options.simInLoader;
        unit.restartMs = options.simRestartMs;
        unit.faults = FaultPlan::Parse(options.simFaults);
        if (!options.simUnitId.empty()) {
            SimUnit::ParseUnitId(options.simUnitId, unit.unitId);
        }
        m_unit = std::make_unique<SimUnit>(std::move(unit));
        if (options.simVirtual) {
            m_virtualHost = std::make_unique<QuietVirtualHost>(realHost);
            m_host = m_virtualHost.get();
        } else {
            m_host = &realHost;
        }
        m_comm = std::make_unique<SimComm>(*m_unit, m_host->GetClock());
        WatchInput();
    }

    CMSComm& Comm() { return *m_comm; }
    Host& GetHost() { return *m_host; }

private:
    // The host's waits sleep until the port has input or their time is up.
    void WatchInput() {
        m_host->SetInputWatch(
            [comm = m_comm.get()](int64_t timeoutNs) { return comm->WaitForInput(timeoutNs); });
    }

    // Virtual time for the simulated unit, but messages and progress where a person sees them.
    class QuietVirtualHost : public VirtualHost {
    public:
        explicit QuietVirtualHost(Host& shown) : m_shownHost(shown) {}
        int MessageBox(const std::string& text, unsigned type) override {
            return m_shownHost.MessageBox(text, type);
        }
        void DrawText(int x, int y, const std::string& text) override {
            m_shownHost.DrawText(x, y, text);
        }
        // A stop signal ends the run in virtual time as in real time.
        bool RunStopped() override { return m_shownHost.RunStopped(); }
        void Sleep(int ms) override {
            ConsoleHost::ThrowIfStopped();
            VirtualHost::Sleep(ms);
        }
        void WaitForInputUntil(int64_t ns) override {
            ConsoleHost::ThrowIfStopped();
            VirtualHost::WaitForInputUntil(ns);
        }
        void PauseUntil(int64_t ns) override {
            ConsoleHost::ThrowIfStopped();
            VirtualHost::PauseUntil(ns);
        }

    private:
        Host& m_shownHost;
    };

    // "3" is port 3 (COM3 on Windows, the third listed port elsewhere); "COM3" is port 3 on
    // Windows; anything else names the device itself.
    static std::string SystemPort(const std::string& port, short& number) {
        const auto portNumber = [](const std::string& digits) {
            const bool numeric = !digits.empty() && digits.size() <= 3 &&
                                 std::all_of(digits.begin(), digits.end(), ::isdigit);
            const int value = numeric ? std::stoi(digits) : 0;
            return value >= 1 && value <= kMaxPortNumber ? value : 0;
        };
        if (const int value = portNumber(port)) {
            number = static_cast<short>(value);
            return {};
        }
#ifdef _WIN32
        if (port.size() > 3 && (port.rfind("COM", 0) == 0 || port.rfind("com", 0) == 0)) {
            if (const int value = portNumber(port.substr(3))) {
                number = static_cast<short>(value);
                return {};
            }
        }
#endif
        return port;
    }

    std::unique_ptr<SimUnit> m_unit;
    std::unique_ptr<VirtualHost> m_virtualHost;
    std::unique_ptr<CMSComm> m_comm;
    Host* m_host = nullptr;
};

// The line share counts only transfers that completed: a time-out is no measure of the line.
void ReportTransfer(const CDrovaneView& view, const CProgramDlg& dlg, bool done) {
    const double seconds = static_cast<double>(dlg.m_endNs - dlg.m_startNs) / 1e9;
    g_record.bytes += dlg.m_nBytesSent;
    g_run.transferDone = done;
    if (g_bKernelLoaded == 0) {
        // The block's image is the sealed working file the transfer just sent.
        const size_t block = view.m_blockTries.empty() ? 0 : view.m_blockTries.size() - 1;
        g_run.sent.resize(std::max(g_run.sent.size(), block + 1));
        RunRecord::Block& sent = g_run.sent[block];
        if (view.m_blockTries.empty()) {
            sent.name = "control";  // the boot road sends the control block alone
            sent.tries = 1;
            sent.done = done;
        }
        const std::string image = WorkFile(kImageFile);
        sent.sha256 = FileSha256(image);
        std::error_code error;
        const auto size = std::filesystem::file_size(image, error);
        sent.size = error ? -1 : static_cast<int64_t>(size);
        const bool failed = dlg.Result() != IDOK;
        g_run.failedTransferOf = failed ? block : SIZE_MAX;
        g_run.failedTransferTry = view.m_blockTries.empty() ? 1 : view.m_blockTries[block].tries;
    }
    if (dlg.Result() != IDOK) {
        g_progress.Print("Sent %lld bytes in %.2f s; the transfer did not complete\n",
                         static_cast<long long>(dlg.m_nBytesSent), seconds);
        UpdateRecord();
        return;
    }
    g_run.shareBytes += dlg.m_nBytesSent;
    g_run.shareSeconds += seconds;
    g_record.lineShare = CProgramDlg::LineShare(g_run.shareBytes, g_run.shareSeconds);
    g_progress.Print("Sent %lld bytes in %.2f s: %.1f%% of the 9600-baud line rate\n",
                     static_cast<long long>(dlg.m_nBytesSent), seconds,
                     CProgramDlg::LineShare(dlg.m_nBytesSent, seconds) * 100);
    UpdateRecord();
}

// The exit status of a command that did not succeed: a run stopped by a signal says which.
int FailureStatus() {
    const int signal = ConsoleHost::StopSignal();
    return signal != 0 ? kExitSignalBase + signal : kExitFailure;
}

int RunPorts() {
    const std::vector<SerialPortInfo> ports = ListSerialPorts();
    if (ports.empty()) {
        std::printf("No serial ports found.\n");
    }
    int number = 1;
    for (const SerialPortInfo& port : ports) {
        std::printf("%2d  %s", number++, port.name.c_str());
        if (!port.description.empty()) {
            std::printf("  %s", port.description.c_str());
        }
        if (!port.usbId.empty()) {
            std::printf("  [USB %s%s%s]", port.usbId.c_str(),
                        port.serialNumber.empty() ? "" : " serial ", port.serialNumber.c_str());
        }
        if (!port.byIdPath.empty()) {
            std::printf("\n    %s", port.byIdPath.c_str());
        }
        std::printf("\n");
    }
    return kExitSuccess;
}

// The image leaves out records beyond the flash without a word in the window; here the user
// is told how many.
void NoteRecordsLeftOut(const CMotImage& image) {
    const size_t count = image.m_nOutsideFlash;
    if (count > 0) {
        std::fprintf(stderr, "%zu %s outside the %u KiB flash and %s left out of the image\n",
                     count, count == 1 ? "record lies" : "records lie",
                     static_cast<unsigned>(CMotImage::kAddressLimit / 1024),
                     count == 1 ? "was" : "were");
    }
}

int RunImage(const std::string& path) {
    CDrovaneDoc doc;
    doc.OnNewDocument();
    if (!doc.OnOpenDocument(path)) {
        return kExitFailure;
    }
    NoteRecordsLeftOut(doc.m_image);
    return kExitSuccess;
}

int RunIdentify(CDrovaneView& view) {
    std::fill(std::begin(g_szUnitVersion), std::end(g_szUnitVersion), '\0');
    int flags = 0;
    bool answered = false;
    try {
        view.OnBaud9600();
        view.m_comm.SetPortOpen(true);
        view.m_comm.SetInputMode(1);
        flags = view.IdentifyUnit();
        answered = g_szUnitVersion[0] != '\0';
        view.ResetPort();
    } catch (const CommError& error) {
        view.m_comm.ForceClose();
        Say(error.what());
        return kExitFailure;
    }
    if (!answered) {
        Say("The unit did not answer the identification.");
        return kExitFailure;
    }
    g_progress.Print("version text    %.5s\n", g_szUnitVersion);
    g_progress.Print("model name      %.16s\n", g_szUnitModel);
    g_progress.Print("version number  %d\n", g_nUnitVersion);
    g_progress.Print("unit flags      0x%X\n", flags);
    if (g_progress.Lost()) {  // the identity is the command's result
        Say("Cannot print the unit's identity: " + g_progress.LostReason());
        return kExitFailure;
    }
    return kExitSuccess;
}

struct Command {
    const char* name;
    const char* help;
    void (CDrovaneView::*run)();
};
using DeviceCommands = std::vector<std::pair<CLI::App*, const Command*>>;

int RunOne(const Options& options, const std::string& firmware, CLI::App* image, CLI::App* identify,
           const DeviceCommands& deviceCommands, bool restart);
int WriteRecord(const Options& options, const RecordLog& log, int status);
int ReportLostProgress(int status);

// The command a command line names: its first word that is one, past the program's own
// options (--config takes a value); empty when it names none.
std::string CommandNamed(int argc, char** argv) {
    static constexpr const char* kCommands[] = {"ports", "image",    "flash", "mppt",   "restart",
                                                "boot",  "identify", "check", "station"};
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--config") {
            ++i;
            continue;
        }
        if (!word.empty() && word.front() == '-') {
            continue;
        }
        for (const char* command : kCommands) {
            if (word == command) {
                return command;
            }
        }
        return {};
    }
    return {};
}

// Completes the command line from the environment and the configuration file, or prints what
// is in force (--print-config), or lists the ports. Returns the exit status when the command
// ends here, else -1.
int ApplyStationConfig(CLI::App& app, const std::string& configPath, bool print) {
    const std::vector<CLI::App*> given = app.get_subcommands();
    if (given.empty() && !print) {
        return app.exit(CLI::RequiredError("A subcommand")) == 0 ? kExitSuccess : kExitUsage;
    }
    if (app.got_subcommand("ports") && !print) {
        return RunPorts();
    }
    // Without a command, the settings are shown as a Flash would take them.
    CLI::App* command = given.empty() ? app.get_subcommand("flash") : given.front();
    StationConfig config;
    std::string error;
    if (!config.Load(configPath.empty() ? StationConfig::DefaultPath() : configPath,
                     !configPath.empty(), error) ||
        !config.Apply(*command, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitUsage;
    }
    if (print) {
        std::printf("configuration file  %s (%s)\n",
                    config.Path().empty() ? "none" : config.Path().c_str(),
                    config.Found() ? "read" : "not found");
        for (const StationConfig::Origin& origin : config.Origins()) {
            std::printf("%-19s %s  (%s)\n", origin.key.c_str(), origin.value.c_str(),
                        origin.source.c_str());
        }
        return kExitSuccess;
    }
    CLI::Option* port = command->get_option_no_throw("--port");
    if (port != nullptr && port->count() == 0) {
        return app.exit(CLI::RequiredError("--port")) == 0 ? kExitSuccess : kExitUsage;
    }
    return -1;
}

int Run(int argc, char** argv) {
    CLI::App app{"Firmware-update tool for the solar power units"};
    app.require_subcommand(0, 1);  // --print-config alone is a command line too
    app.fallthrough();             // --config and --print-config after the command as well
    app.set_version_flag("--version", std::string("flashtool ") + FLASHTOOL_VERSION);
    std::string configPath;
    bool printConfig = false;
    app.add_option(
           "--config", configPath,
           "Read the station's settings from FILE instead of " + StationConfig::DefaultPath())
        ->type_name("FILE");
    app.add_flag("--print-config", printConfig,
                 "Show the settings in force and where each came from, and end");
    app.footer(
        "Examples:\n"
        "  flashtool ports\n"
        "  flashtool flash Tilm6K_example.mot --port /dev/ttyUSB0\n"
        "  flashtool flash LB1~4K_fw.mot --port 1 --port 2 --port 3 --json --log line.jsonl\n"
        "  flashtool flash Tilm6K_example.mot --port rfc2217://192.0.2.10:2001\n"
        "  flashtool restart Tilm6K_example.mot --port COM7 --block mppt\n"
        "  flashtool station LB1~4K_fw.mot --port 1 --port 2 --log line.jsonl\n"
        "  flashtool boot LB1~4K_fw.mot --port /dev/ttyS0 --install-dir /opt/flashtool\n"
        "  flashtool flash Tilm6K_example.mot --port sim --sim-virtual\n"
        "Port, log, confirm, retries, work-dir, install-dir and edition come from the command\n"
        "line, else the environment (FLASHTOOL_PORT, FLASHTOOL_WORK_DIR, ...), else the\n"
        "configuration file; --print-config shows them.\n"
        "Exit status: 0 success, 1 failure, 2 usage error, 128+N stopped by signal N.");

    Options options;
    std::string firmware;
    const auto addWorkDir = [&options](CLI::App* command) {
        command->add_option("--work-dir", options.workDir,
                            "Folder for the working files tmp.bin, log1.bin and log2.bin "
                            "(default: the current folder); one run at a time holds it");
    };
    const auto addPortOptions = [&options, &addWorkDir](CLI::App* command) {
        command
            ->add_option("--port", options.ports,
                         "Serial port: a number (see ports), a system port name (COM7, "
                         "/dev/ttyUSB0), rfc2217://HOST:PORT or tcp://HOST:PORT on a serial "
                         "server, or sim for the built-in simulated unit; given several times, "
                         "the units are served at once, each by a run of its own")
            // One value each time, so that the words after it stay the command's own.
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->check([](const std::string& port) {
                return port.empty() ? std::string("an empty port names no port") : std::string();
            });
        addWorkDir(command);
        command->add_flag("--json", options.json,
                          "Standard output carries only one JSON line per unit, as it finishes; "
                          "progress goes to stderr");
        command->add_option("--log", options.log,
                            "Append the same JSON line per unit to this file");
        command->add_option("--edition", options.edition, "Edition A or B")
            ->check(CLI::IsMember({"A", "B"}));
        command->add_option("--install-dir", options.installDir,
                            "Folder that stands for \"C:\\Program Files\" (kernel, pre-loader, "
                            "TempErase image)");
        command->add_flag("--trace", options.trace,
                          "Write every frame sent and received, with a time stamp, to stderr");
    };
    // The built-in unit's settings, for the commands that can run on it.
    const auto addSimOptions = [&options](CLI::App* command) {
        command->add_option("--sim-model", options.simModel, "Simulated unit: model name");
        command->add_option("--sim-version", options.simVersion, "Simulated unit: version text");
        command->add_flag("--sim-boot-mode", options.simBootMode,
                          "Simulated unit: start in the controller's boot mode");
        command
            ->add_option("--sim-in-loader", options.simInLoader,
                         "Simulated unit: start waiting in the flash loader of a processor")
            ->check(CLI::IsMember({"control", "mppt"}));
        command->add_option("--sim-faults", options.simFaults,
                            "Simulated unit: fault plan (see unitsim --help)");
        command
            ->add_option("--sim-unit-id", options.simUnitId,
                         "Simulated unit: its identification, 20 hexadecimal digits")
            ->check([](const std::string& hex) {
                std::vector<uint8_t> id;
                return SimUnit::ParseUnitId(hex, id)
                           ? std::string()
                           : std::string("20 hexadecimal digits expected");
            });
        command->add_option("--sim-restart-ms", options.simRestartMs,
                            "Simulated unit: restart time after a block, in ms");
        command->add_flag("--sim-virtual", options.simVirtual,
                          "Simulated unit: run in virtual time instead of real time");
    };

    app.add_subcommand("ports",
                       "List the system's serial ports: number for --port, name, description, "
                       "USB id and serial number");

    // Every command is named in the table, but only the one that runs gets its options: the
    // others cost their setting up for nothing. Without a command, the settings are a Flash's.
    const std::string named = CommandNamed(argc, argv);
    const auto builds = [&named](const char* name) {
        return named == name || (named.empty() && std::string_view(name) == "flash");
    };
    CLI::App* image = app.add_subcommand(
        "image",
        "Open a firmware file and build tmp.bin (and log1.bin, log2.bin for 6K files) "
        "in the current directory");
    if (builds("image")) {
        image->add_option("PATH", firmware, "Firmware file (*.mot)")->required();
        addWorkDir(image);
    }

    static const Command commands[] = {
        {"flash", "Flash: identify the unit, check the file and program every block",
         &CDrovaneView::OnFlash},
        {"mppt", "Mppt: program the MPPT block", &CDrovaneView::OnMppt},
        {"restart", "Restart: program a unit that already waits in its loader",
         &CDrovaneView::OnFlashRestart},
        {"boot", "Flash Action Setting: program through the controller's boot mode",
         &CDrovaneView::OnFlashAction},
    };
    DeviceCommands deviceCommands;
    for (const Command& command : commands) {
        CLI::App* sub = app.add_subcommand(command.name, command.help);
        deviceCommands.emplace_back(sub, &command);
        if (!builds(command.name)) {
            continue;
        }
        sub->add_option("FILE", firmware, "Firmware file (*.mot)")->required();
        addPortOptions(sub);
        addSimOptions(sub);
        if (command.run == &CDrovaneView::OnFlashRestart) {
            sub->add_option("--block", options.block,
                            "The block the waiting unit takes: control, mppt or temperase "
                            "(needed for a 6K file with both blocks)")
                ->check(CLI::IsMember({kBlockControl6K, kBlockMppt6K, kBlockTempErase}));
            sub->add_flag("--only", options.only,
                          "Send that block alone; without it the blocks a Flash sends after it "
                          "follow, each after the unit's restart");
        }
        sub->add_flag("--confirm", options.confirm,
                      "After programming, wait for the unit's restart and identify it again: it "
                      "must come back as the same unit");
        if (command.run != &CDrovaneView::OnFlashAction) {
            sub->add_option("--retries", options.retries,
                            "Send a block whose write start or transfer failed again, up to N "
                            "more times, each after the loader gave the transfer up (40 s)")
                ->check(CLI::Range(0, 99));
        }
        if (command.run == &CDrovaneView::OnFlash) {
            // A station's child, one per unit (not for a person to give).
            sub->add_flag("--station-wait", options.stationWait)->group("");
            sub->add_option("--station-after", options.stationAfter)->group("");
        }
        if (command.run == &CDrovaneView::OnFlash || command.run == &CDrovaneView::OnMppt) {
            sub->add_flag("--unchecked", options.unchecked,
                          "Flash a unit that does not identify itself, or whose model is not "
                          "known, without checking the file against it");
        }
    }
    CLI::App* identify = app.add_subcommand(
        "identify", "Print the unit's version text, model name, version number and unit flags");
    if (builds("identify")) {
        addPortOptions(identify);
        addSimOptions(identify);
    }
    CLI::App* check = app.add_subcommand(
        "check", "Identify the unit and check the file against it, writing nothing to the unit");
    if (builds("check")) {
        check->add_option("FILE", firmware, "Firmware file (*.mot)")->required();
        addPortOptions(check);
        addSimOptions(check);
    }
    CLI::App* station = app.add_subcommand(
        "station",
        "Flash unit after unit on each port until stopped: wait for a unit to answer, flash it, "
        "wait for it to be taken away; Ctrl+C finishes the units being flashed, a second one "
        "stops them");
    // A station's units are real ones: the built-in unit is never taken away.
    if (builds("station")) {
        station->add_option("FILE", firmware, "Firmware file (*.mot)")->required();
        addPortOptions(station);
        station->add_flag("--confirm", options.confirm,
                          "Identify each unit again after its restart: it must come back as the "
                          "same unit");
        station
            ->add_option("--retries", options.retries,
                         "Send a block whose write start or transfer failed again, up to N more "
                         "times")
            ->check(CLI::Range(0, 99));
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kExitSuccess : kExitUsage;
    }
    if (const int status = ApplyStationConfig(app, configPath, printConfig); status >= 0) {
        return status;
    }
    g_record.started = UtcNow();
    g_record.toolVersion = FLASHTOOL_VERSION;
    g_record.host = HostName();
    for (const CLI::App* sub : app.get_subcommands()) {
        g_record.command = sub->get_name();
    }
    g_record.edition = options.edition;
    g_record.file = firmware;
    if (const std::string_view model = ModelNameOf(FileNameOf(firmware)); !model.empty()) {
        g_record.fileModel = std::string(model);
    }
    const bool restart = app.got_subcommand("restart");
    options.check = check->parsed();
    if (restart) {
        std::string message;
        if (!ChooseRestartBlock(firmware, options.block, message)) {
            std::fprintf(stderr, "%s\n", message.c_str());
            return kExitUsage;
        }
    }

    if (station->parsed()) {
        return RunStation(argc, argv, options.ports, options.json, options.log, g_record);
    }
    if (!image->parsed()) {
        if (options.ports.size() > 1) {
            return RunMany(argc, argv, options.ports, options.json, options.log, g_record);
        }
        options.port = options.ports.front();
    }
    if (options.json) {
        g_progress = ProgressOutput(stderr);
    }
    // A stop outside a dialog unwinds a run on a unit, so that its record is still written.
    ConsoleHost::InstallStopHandlers(!image->parsed());
    RecordLog log;
    std::string reason;
    if (!image->parsed() && !options.log.empty() && !log.Open(options.log, reason)) {
        std::fprintf(stderr, "Cannot write to the log %s: %s\n", options.log.c_str(),
                     reason.c_str());
        return kExitFailure;
    }
    const bool recorded = !image->parsed() && (options.json || log.IsOpen());
    g_record.port = options.port;
    g_record.portGiven = options.port;
    if (recorded) {
        StopRecord::SetOutputs(log.Fd(), options.json);
        UpdateRecord();
    }
    int status = kExitFailure;
    try {
        status = RunOne(options, firmware, image, identify, deviceCommands, restart);
    } catch (const RunStop&) {
        status = FailureStatus();
    }
    status = ReportLostProgress(status);
    return recorded ? WriteRecord(options, log, status) : status;
}

// A lost progress output does not fail a run that reached its end: the loss is told on
// stderr, or, when stderr is gone too, in the exit status and the record.
int ReportLostProgress(int status) {
    if (!g_progress.Lost()) {
        return status;
    }
    const std::string text = "Progress output was lost: " + g_progress.LostReason();
    std::fprintf(stderr, "%s; the run went on.\n", text.c_str());
    if (std::fflush(stderr) == 0 && !std::ferror(stderr)) {
        return status;
    }
    if (status != kExitSuccess) {
        g_record.Note(text + ", and so were the messages");
        return status;
    }
    g_record.message = text + ", and so were the messages";
    g_run.step = "output";
    return kExitFailure;
}

// Writes the record to the log and, with --json, to standard output. A record that cannot be
// written fails the run.
int WriteRecord(const Options& options, const RecordLog& log, int status) {
    UpdateRecord();
    g_record.ok = status == kExitSuccess;
    g_record.exitStatus = status;
    g_record.ended = UtcNow();
    if (!g_record.ok && ConsoleHost::StopSignal() != 0) {
        g_record.MarkStopped(ConsoleHost::StopSignal());
    }
    std::string line = g_record.ToJsonLine();
    StopRecord::Disarm();
    const int lost = status == kExitSuccess ? kExitFailure : status;
    std::string reason;
    if (log.IsOpen() && !log.Append(line, reason)) {
        std::fprintf(stderr, "Cannot write to the log %s: %s\n", options.log.c_str(),
                     reason.c_str());
        status = lost;
        // Standard output learns that the log lost the record.
        if (g_record.ok) {
            g_record.ok = false;
            g_record.failedStep = "record";
            g_record.message = "Cannot write to the log " + options.log + ": " + reason;
        }
        g_record.exitStatus = status;
        line = g_record.ToJsonLine();
    }
    if (options.json && (std::printf("%s\n", line.c_str()) < 0 || std::fflush(stdout) != 0)) {
        std::fprintf(stderr, "Cannot write the record to standard output: %s\n",
                     std::strerror(errno));
        status = lost;
    }
    return status;
}

// One run on one port (or the image command): everything after the command line was read.
int RunOne(const Options& options, const std::string& firmware, CLI::App* image, CLI::App* identify,
           const DeviceCommands& deviceCommands, bool restart) {
    ConsoleHost console(g_progress);
    // A notice is no cause of failure ("You will update ... !").
    console.m_onMessage = [](const std::string& text, unsigned type) {
        if ((type & MB_ICONMASK) != MB_ICONINFORMATION) {
            g_record.Note(text);
        }
        UpdateRecord();
    };
    ScopedHost installed(console);
    WorkFolderLock lock;
    g_run.step = "work-folder";
    if (!HoldWorkFolder(options.workDir, lock)) {
        return kExitFailure;
    }
    if (image->parsed()) {
        return RunImage(firmware) == kExitSuccess ? kExitSuccess : FailureStatus();
    }
    if (!options.installDir.empty()) {
        SetInstallRoot(options.installDir);
    }

    std::unique_ptr<Connection> connection;
    g_run.step = "port";
    try {
        connection = std::make_unique<Connection>(options, console);
    } catch (const std::invalid_argument& error) {
        g_run.step = "usage";
        Say(std::string("--sim-faults: ") + error.what());
        return kExitUsage;
    } catch (const CommError& error) {
        Say(error.what());
        return kExitFailure;
    }
    ScopedHost deviceHost(connection->GetHost());
    CMSComm& comm = connection->Comm();
    {
        Clock& clock = connection->GetHost().GetClock();
        comm.SetTrace(
            [&clock, trace = options.trace](CMSComm::Direction direction, const CByteArray& bytes) {
                g_run.sentAny = g_run.sentAny || direction == CMSComm::Direction::Sent;
                if (!trace) {
                    return;
                }
                const double seconds = static_cast<double>(clock.NowNs()) / 1e9;
                if (direction == CMSComm::Direction::Note) {
                    std::fprintf(stderr, "[%10.6f] note: %s\n", seconds,
                                 std::string(bytes.begin(), bytes.end()).c_str());
                    return;
                }
                std::fprintf(stderr, "[%10.6f] %s %s\n", seconds,
                             direction == CMSComm::Direction::Sent ? ">" : "<", Hex(bytes).c_str());
            });
    }
    CDrovaneView view(comm, options.edition == "B" ? Edition::B : Edition::A);
    // The record follows the view and the unit's clock while they live.
    struct RecordSource {
        RecordSource(const CDrovaneView& view, Clock* unitClock) {
            g_run.view = &view;
            g_run.unitClock = unitClock;
        }
        ~RecordSource() {
            UpdateRecord();
            if (std::string_view(g_run.step) == "command") {
                g_run.step = StepOfCommand(*g_run.view);  // what the view showed, kept
            }
            if (g_run.unitClock != nullptr) {
                g_run.unitSeconds = static_cast<double>(g_run.unitClock->NowNs()) / 1e9;
            }
            g_run.view = nullptr;
            g_run.unitClock = nullptr;
        }
        RecordSource(const RecordSource&) = delete;
        RecordSource& operator=(const RecordSource&) = delete;
    } source(view, options.simVirtual && options.port == "sim" ? &connection->GetHost().GetClock()
                                                               : nullptr);
    view.m_onTransferEnd = [&view](const CProgramDlg& dlg) {
        ReportTransfer(view, dlg, view.m_bLastTransferDone);
    };
    view.m_onImageMissing = [](const std::string& path) {
        g_run.imageMissing = true;
        std::fprintf(stderr, "Looked for the TempErase image at %s\n", path.c_str());
    };
    // The port is chosen before any command opens it.
    try {
        comm.SetCommPort(static_cast<short>(g_nCommPort));
        g_record.port = comm.PortName(static_cast<short>(g_nCommPort));
    } catch (const CommError& error) {
        Say(error.what());
        return kExitFailure;
    }
    if (identify->parsed()) {
        g_run.step = "identify";
        const int status = RunIdentify(view);
        return status == kExitSuccess ? status : FailureStatus();
    }

    // The hash of the file as the run opens it (the document reads it whole there, too).
    g_run.step = "file";
    g_record.sha256 = FileSha256(firmware);
    CDrovaneDoc doc;
    doc.OnNewDocument();
    if (!doc.OnOpenDocument(firmware)) {
        return FailureStatus();
    }
    NoteRecordsLeftOut(doc.m_image);
    if (restart) {
        // A file without blocks was built whole when it was opened.
        const bool container = (g_nFirmwareModel & kModel6K) == kModel6K;
        bool built = true;
        // The block as records name it, when the restart sends it alone.
        view.m_strRestartBlock = options.block == kBlockTempErase ? "TempErase"
                                 : options.block == kBlockMppt6K  ? "MPPT"
                                                                  : "control";
        if (options.block == kBlockTempErase) {
            built = view.RebuildTempErase();
        } else if (container) {
            built = view.RebuildImage(
                WorkFile(options.block == kBlockMppt6K ? kMpptBlockFile : kControlBlockFile));
        }
        if (!built) {
            return FailureStatus();
        }
        if (!options.only && options.block != kBlockControl6K &&
            (g_nFirmwareModel & kHasMpptBlock) == kHasMpptBlock) {
            view.PlanFlashRunFrom(options.block == kBlockTempErase ? FlashBlock::TempErase
                                                                   : FlashBlock::Mppt);
        }
    }
    view.m_bFlashUnchecked = options.unchecked;
    view.m_nRetries = options.retries;
    if (options.stationWait) {
        // The unit's record begins when it answered, not when the wait for it began.
        view.m_takeUnit =
            StationUnitChooser(options.stationAfter, connection->GetHost().GetClock(), [] {
                g_record.started = UtcNow();
                g_run.started = std::chrono::steady_clock::now();
            });
    }
    view.m_onNote = [](const std::string& note) { Say(note); };
    g_run.step = "command";
    if (options.check) {
        if (!view.CheckFileAgainstUnit()) {
            return FailureStatus();
        }
        Say("The file " + FileNameOf(firmware) + " fits the unit " + view.m_lastUnit.Name() +
            " (version " + view.m_lastUnit.version + ").");
        return kExitSuccess;
    }
    for (const auto& [sub, command] : deviceCommands) {
        if (!sub->parsed()) {
            continue;
        }
        if (command->run == &CDrovaneView::OnFlashAction && !comm.HasModemLines()) {
            Say(comm.PortName(1) +
                ": a raw TCP port has no modem lines, and the boot road drives the "
                "controller through DTR and RTS; use rfc2217://HOST:PORT");
            return kExitFailure;
        }
        view.m_bLastTransferDone = false;
        // A Flash run succeeds with its last block; the other commands with their transfer. A
        // restart that finishes a Flash run is a Flash run.
        g_run.transfers = true;
        g_run.boot = command->run == &CDrovaneView::OnFlashAction;
        g_run.flash = (restart && g_nStepCount > 0) || command->run == &CDrovaneView::OnFlash ||
                      command->run == &CDrovaneView::OnFlashAction;
        (view.*(command->run))();
        if (view.m_bUncheckedRefused) {
            Say("Refused: the unit could not be checked against " + FileNameOf(firmware) +
                "; give --unchecked to flash it anyway.");
        }
        bool done = view.m_bLastTransferDone &&
                    (!g_run.flash || (g_nStepCount > 0 && g_nStepIndex == g_nStepCount));
        if (done && options.confirm) {
            UpdateRecord();
            g_run.unitKept = true;
            g_run.step = "confirm";
            done = view.ConfirmUnit();
            if (done) {
                g_record.versionAfter = view.m_lastUnit.version;
                Say("The unit came back: " + view.m_lastUnit.Name() + ", version " +
                    view.m_lastUnit.version);
            }
        }
        return done ? kExitSuccess : FailureStatus();
    }
    return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
    // An output that went away is reported where it is written, not by ending the program.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // No fault ends the program in an abort: running out of memory, or anything else thrown,
    // is reported and ends the run as a failure.
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        RemovePendingFiles();
        std::fprintf(stderr, "Out of memory: the run was stopped.\n");
    } catch (const std::exception& error) {
        RemovePendingFiles();
        std::fprintf(stderr, "Internal error: %s\n", error.what());
    }
    return kExitFailure;
}
