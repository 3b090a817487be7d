#include "sim/SimUnit.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>

#include "framework/FileIo.h"

namespace {

// Framed protocol of the running firmware: AA AA, five address and control bytes, a function
// code, a data count N, N data bytes, then the 16-bit sum of everything before, high byte first.
constexpr uint8_t kSync = 0xAA;
constexpr size_t kFrameHeader = 9;
constexpr size_t kFrameOverhead = 11;
constexpr uint8_t kFuncDiscovery = 0x00;
constexpr uint8_t kFuncRegister = 0x01;
constexpr uint8_t kFuncIdentity = 0x03;
constexpr uint8_t kRegisterCount = 0x0B;
constexpr uint8_t kUnitAddress[5] = {0x00, 0x01, 0x00, 0x00, 0x00};
constexpr size_t kIdentityData = 64;  // a 75-byte answer
constexpr size_t kVersionAt = 16;     // offsets in the identity answer
constexpr size_t kVersionChars = 5;
constexpr size_t kModelAt = 21;
constexpr size_t kModelChars = 16;

// Hand-over texts, and the answer.
constexpr std::string_view kFlashRequest = " flash";
constexpr std::string_view kMpptSelect = " fmppt";
constexpr std::string_view kMpptFlashRequest = " MPFLH";
constexpr std::string_view kAccepted = "*FLASH\n\r";
constexpr size_t kTextKept = 8;

// Flash loader.
constexpr uint8_t kTableStart = 0x57;
constexpr uint8_t kBlockTable[34] = {0x57, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04,
                                     0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x0C, 0x00,
                                     0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00,
                                     0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00};
constexpr size_t kLengthFrame = 8;
constexpr uint8_t kFrameStart = 0x11;
constexpr size_t kFrameData = 64;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint32_t kMaxImage = SimUnit::kFlashBytes + kFrameData;

// Boot program.
constexpr uint8_t kBootSync = 0x00;
constexpr uint8_t kBootQuery = 0x55;
constexpr uint8_t kBootAnswer = 0xAA;

constexpr int64_t kNsPerMs = 1'000'000;

uint16_t Sum16(const std::vector<uint8_t>& bytes) {
    unsigned sum = 0;
    for (uint8_t byte : bytes) {
        sum += byte;
    }
    return static_cast<uint16_t>(sum);
}

void AppendSum(std::vector<uint8_t>& frame) {
    const uint16_t sum = Sum16(frame);
    frame.push_back(static_cast<uint8_t>(sum >> 8));
    frame.push_back(static_cast<uint8_t>(sum));
}

std::vector<uint8_t> UnitFrame(const uint8_t (&address)[5], uint8_t function,
                               const std::vector<uint8_t>& data) {
    std::vector<uint8_t> frame;
    frame.reserve(kFrameOverhead + data.size());
    frame.push_back(kSync);
    frame.push_back(kSync);
    for (uint8_t byte : address) {
        frame.push_back(byte);
    }
    frame.push_back(function);
    frame.push_back(static_cast<uint8_t>(data.size()));
    frame.insert(frame.end(), data.begin(), data.end());
    AppendSum(frame);
    return frame;
}

void PutText(std::vector<uint8_t>& data, size_t at, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        data[at + i] = static_cast<uint8_t>(i < text.size() ? text[i] : ' ');
    }
}

}  // namespace

void SimUnit::SwapIdentity(const std::string& model, const std::string& version,
                           std::vector<uint8_t> unitId) {
    m_options.model = model;
    m_options.version = version;
    m_options.unitId = std::move(unitId);
}

SimUnit::SimUnit(Options options) : m_options(std::move(options)) {
    m_flash[0].assign(kFlashBytes, 0xFF);
    m_flash[1].assign(kFlashBytes, 0xFF);
    m_badEchoesLeft = m_options.faults.m_badEchoes;
    if (m_options.faults.m_restartMs) {
        m_options.restartMs = *m_options.faults.m_restartMs;
    }
    m_mode = m_options.bootMode ? Mode::Boot : Mode::Firmware;
    if (!m_options.inLoader.empty()) {
        EnterLoader(m_options.inLoader == "mppt" ? Target::MpptFlash : Target::ControlFlash);
    }
}

void SimUnit::ScheduleReceive(uint8_t byte, int64_t arrivalNs) {
    Schedule(arrivalNs, [this, byte] { OnByte(byte); });
}

void SimUnit::ScheduleLines(bool dtr, bool rts, int64_t atNs) {
    Schedule(atNs, [this, dtr, rts] { OnLines(dtr, rts); });
}

void SimUnit::Schedule(int64_t ns, std::function<void()> event) {
    m_events.emplace(std::max(ns, m_nowNs), std::move(event));
}

void SimUnit::RunUntil(int64_t ns) {
    while (!m_events.empty() && m_events.begin()->first <= ns) {
        auto next = m_events.begin();
        m_nowNs = next->first;
        std::function<void()> event = std::move(next->second);
        m_events.erase(next);
        event();
    }
    m_nowNs = std::max(m_nowNs, ns);
}

int64_t SimUnit::NextEventNs() const {
    return m_events.empty() ? INT64_MAX : m_events.begin()->first;
}

void SimUnit::TakeOutput(int64_t ns, std::vector<uint8_t>& out) {
    while (!m_output.empty() && m_output.front().first <= ns) {
        out.push_back(m_output.front().second);
        m_output.pop_front();
    }
}

int64_t SimUnit::NextOutputNs() const {
    return m_output.empty() ? INT64_MAX : m_output.front().first;
}

const std::vector<uint8_t>& SimUnit::Flash(Processor processor) const {
    return m_flash[static_cast<int>(processor)];
}

int SimUnit::Writes(Processor processor) const {
    return m_writes[static_cast<int>(processor)];
}

std::string SimUnit::ModeName() const {
    switch (m_mode) {
        case Mode::Firmware:
            return "firmware";
        case Mode::Loader:
            return "loader";
        case Mode::Boot:
            return "boot";
        case Mode::Restarting:
            return "restarting";
        case Mode::Dead:
            return "dead";
    }
    return "";
}

bool SimUnit::SaveFlash(const std::string& dir, const std::string& suffix) const {
    const std::pair<const char*, Processor> files[] = {{"control", Processor::Control},
                                                       {"mppt", Processor::Mppt}};
    for (const auto& [name, processor] : files) {
        const std::vector<uint8_t>& flash = Flash(processor);
        // Written under a fresh name and renamed into place: a link at the name is replaced.
        if (!WriteFileAtomically((std::filesystem::path(dir) / (name + suffix + ".bin")).string(),
                                 std::string(flash.begin(), flash.end()))) {
            return false;
        }
    }
    return true;
}

void SimUnit::Send(Step step, std::vector<uint8_t> answer) {
    SendRaw(m_options.faults.Shape(step, std::move(answer)));
}

void SimUnit::SendRaw(const std::vector<uint8_t>& bytes) {
    for (uint8_t byte : bytes) {
        m_txFreeNs = std::max(m_txFreeNs, m_nowNs) + kByteNs;
        m_output.emplace_back(m_txFreeNs, byte);
    }
}

void SimUnit::Reset(Mode mode) {
    ++m_epoch;
    m_mode = mode;
    m_buffer.clear();
    m_text.clear();
    m_mpptSelected = false;
    m_registered = false;
    m_bootStage = BootStage::Sync;
    m_synced = false;
}

void SimUnit::StartUserProgram() {
    m_attendedNs = m_nowNs;
    if (m_preLoaderPending) {
        Reset(Mode::Loader);
        EnterLoader(Target::ControlFlash);
    } else {
        Reset(m_firmwareValid[0] ? Mode::Firmware : Mode::Dead);
    }
}

void SimUnit::Restart(int ms) {
    Reset(Mode::Restarting);
    const uint64_t epoch = m_epoch;
    Schedule(m_nowNs + ms * kNsPerMs, [this, epoch] {
        if (m_epoch == epoch) {
            StartUserProgram();
        }
    });
}

void SimUnit::OnLines(bool dtr, bool rts) {
    const bool wasBoot = m_dtr && m_rts;
    m_dtr = dtr;
    m_rts = rts;
    const bool boot = dtr && rts;
    if (boot && !wasBoot) {
        Reset(Mode::Boot);
    } else if (!boot && wasBoot) {
        Restart(m_options.lineResetMs);
    }
}

void SimUnit::OnByte(uint8_t byte) {
    switch (m_mode) {
        case Mode::Firmware:
            FirmwareByte(byte);
            break;
        case Mode::Loader:
            LoaderByte(byte);
            break;
        case Mode::Boot:
            BootByte(byte);
            break;
        case Mode::Restarting:
        case Mode::Dead:
            break;
    }
}

void SimUnit::FirmwareByte(uint8_t byte) {
    if (m_buffer.empty() && byte != kSync) {
        FirmwareText(byte);
        return;
    }
    m_buffer.push_back(byte);
    if (m_buffer.size() == 2 && m_buffer[1] != kSync) {
        m_buffer.clear();
        FirmwareText(byte);
        return;
    }
    if (m_buffer.size() >= kFrameHeader &&
        m_buffer.size() == kFrameOverhead + m_buffer[kFrameHeader - 1]) {
        std::vector<uint8_t> frame;
        frame.swap(m_buffer);
        FirmwareFrame(frame);
    }
}

void SimUnit::FirmwareFrame(const std::vector<uint8_t>& frame) {
    const std::vector<uint8_t> body(frame.begin(), frame.end() - 2);
    const uint16_t sum = static_cast<uint16_t>(frame[frame.size() - 2] << 8 | frame.back());
    if (Sum16(body) != sum) {
        return;  // a damaged frame is ignored
    }
    const uint8_t function = frame[7];
    const std::vector<uint8_t> data(frame.begin() + kFrameHeader, frame.end() - 2);
    if (function == kFuncDiscovery) {
        Send(Step::Discovery, UnitFrame(kUnitAddress, kFuncDiscovery, m_options.unitId));
    } else if (function == kFuncRegister && frame[8] == kRegisterCount) {
        m_registered = data.size() > m_options.unitId.size() &&
                       std::equal(m_options.unitId.begin(), m_options.unitId.end(), data.begin());
        if (m_registered) {
            SendRaw(UnitFrame(kUnitAddress, kFuncRegister, {}));
        }
    } else if (function == kFuncIdentity && m_registered) {
        std::vector<uint8_t> identity(kIdentityData, 0);
        std::vector<uint8_t> answer = UnitFrame(kUnitAddress, kFuncIdentity, identity);
        PutText(answer, kVersionAt, m_options.version, kVersionChars);
        PutText(answer, kModelAt, m_options.model, kModelChars);
        answer.resize(answer.size() - 2);
        AppendSum(answer);
        if (m_options.faults.m_identityLength) {
            answer.resize(static_cast<size_t>(*m_options.faults.m_identityLength), 0);
        }
        Send(Step::Identity, answer);
        if (!m_identityAnswered) {
            m_identityAnswered = true;
            m_attendedNs = m_nowNs;
            Event("answer");
        }
    }
}

void SimUnit::FirmwareText(uint8_t byte) {
    m_text.push_back(static_cast<char>(byte));
    if (m_text.size() > kTextKept) {
        m_text.erase(0, m_text.size() - kTextKept);
    }
    const auto endsWith = [this](std::string_view text) { return m_text.ends_with(text); };
    Target target;
    if (endsWith(kMpptSelect)) {
        m_mpptSelected = true;
        m_text.clear();
        return;
    } else if (endsWith(kMpptFlashRequest) && m_mpptSelected) {
        target = Target::MpptFlash;
    } else if (endsWith(kFlashRequest)) {
        // After the MPPT select the request is passed on to the MPPT processor.
        target = m_mpptSelected ? Target::MpptFlash : Target::ControlFlash;
    } else {
        return;
    }
    m_text.clear();
    m_mpptSelected = false;
    m_attendedNs = m_nowNs;
    Event("handover");
    Send(Step::Handover, std::vector<uint8_t>(kAccepted.begin(), kAccepted.end()));
    const uint64_t epoch = m_epoch;
    Schedule(m_nowNs + m_options.handoverMs * kNsPerMs, [this, epoch, target] {
        if (m_epoch == epoch) {
            Reset(Mode::Loader);
            EnterLoader(target);
        }
    });
}

void SimUnit::EnterLoader(Target target) {
    m_mode = Mode::Loader;
    m_target = target;
    m_loaderStage = LoaderStage::Table;
    m_buffer.clear();
}

void SimUnit::CheckLoaderIdle() {
    m_idleCheckPending = false;
    const bool midTransfer =
        m_loaderStage == LoaderStage::Frames || m_loaderStage == LoaderStage::Closing;
    if (m_mode != Mode::Loader || !midTransfer) {
        return;
    }
    if (m_nowNs - m_lastLoaderByteNs >= kLoaderIdleResetNs) {
        EnterLoader(m_target);
        return;
    }
    m_idleCheckPending = true;
    Schedule(m_lastLoaderByteNs + kLoaderIdleResetNs, [this] { CheckLoaderIdle(); });
}

void SimUnit::LoaderByte(uint8_t byte) {
    if (m_loaderStage == LoaderStage::Frames || m_loaderStage == LoaderStage::Closing) {
        m_lastLoaderByteNs = m_nowNs;
        if (!m_idleCheckPending) {
            m_idleCheckPending = true;
            Schedule(m_nowNs + kLoaderIdleResetNs, [this] { CheckLoaderIdle(); });
        }
        const uint32_t index = m_transferIndex++;
        if (m_options.faults.m_dropByte == index) {
            return;
        }
        if (m_options.faults.m_corruptByte == index) {
            byte = static_cast<uint8_t>(~byte);
        }
    }
    switch (m_loaderStage) {
        case LoaderStage::Table:
            if (m_buffer.empty() && byte != kTableStart) {
                return;  // stray bytes, such as an abort byte, before the table
            }
            m_buffer.push_back(byte);
            if (m_buffer.size() == sizeof kBlockTable) {
                const bool good = std::equal(m_buffer.begin(), m_buffer.end(), kBlockTable);
                m_buffer.clear();
                if (!good) {
                    SendRaw({kNak});
                    return;
                }
                m_loaderStage = LoaderStage::Length;
                m_attendedNs = m_nowNs;
                Event("table");
                Send(Step::Table, {kAck});
            }
            return;
        case LoaderStage::Length: {
            m_buffer.push_back(byte);
            if (m_buffer.size() < kLengthFrame) {
                return;
            }
            const uint32_t high = static_cast<uint32_t>(m_buffer[0] << 24 | m_buffer[1] << 16 |
                                                        m_buffer[2] << 8 | m_buffer[3]);
            const uint32_t length = static_cast<uint32_t>(m_buffer[4] << 24 | m_buffer[5] << 16 |
                                                          m_buffer[6] << 8 | m_buffer[7]);
            m_buffer.clear();
            if (high != 0 || length == 0 || length > kMaxImage) {
                SendRaw({kNak});
                return;
            }
            m_imageLength = length;
            m_framesLeft = (length + kFrameData - 1) / kFrameData;
            m_sum = 0;
            m_transferIndex = 0;
            m_image.clear();
            m_loaderStage = LoaderStage::Frames;
            m_attendedNs = m_nowNs;
            Send(Step::Length, {kAck});
            return;
        }
        case LoaderStage::Frames:
            m_buffer.push_back(byte);
            if (m_buffer.size() < 1 + kFrameData) {
                return;
            }
            if (m_buffer[0] != kFrameStart) {
                m_buffer.clear();
                SendRaw({kNak});
                return;
            }
            for (size_t i = 1; i < m_buffer.size(); ++i) {
                m_sum = static_cast<uint8_t>(m_sum + m_buffer[i]);
            }
            m_image.insert(m_image.end(), m_buffer.begin() + 1, m_buffer.end());
            m_buffer.clear();
            m_attendedNs = m_nowNs;
            if (--m_framesLeft == 0) {
                m_loaderStage = LoaderStage::Closing;
            }
            Send(Step::Frame, {kFrameStart});
            return;
        case LoaderStage::Closing:
            m_buffer.push_back(byte);
            if (m_buffer.size() < 2) {
                return;
            }
            if (m_buffer[0] != kFrameStart || m_buffer[1] != static_cast<uint8_t>(0xFF - m_sum)) {
                m_buffer.clear();
                SendRaw({kNak});
                return;
            }
            m_buffer.clear();
            m_loaderStage = LoaderStage::Done;
            Send(Step::Closing, {kAck});
            CompleteWrite();
            return;
        case LoaderStage::Done:
            if (m_options.linesUnseen && m_target == Target::PreLoader && byte == kTableStart) {
                Reset(Mode::Loader);
                EnterLoader(Target::ControlFlash);
                LoaderByte(byte);
            }
            return;
    }
}

void SimUnit::CompleteWrite() {
    m_image.resize(std::min<size_t>(m_imageLength, m_image.size()));
    if (m_target == Target::PreLoader) {
        // The kernel stays in charge until the lines reset the controller into the pre-loader.
        m_preLoader = m_image;
        m_preLoaderPending = true;
    } else {
        const int index = m_target == Target::ControlFlash ? 0 : 1;
        std::vector<uint8_t>& flash = m_flash[index];
        std::fill(flash.begin(), flash.end(), 0xFF);
        std::copy_n(m_image.begin(), std::min(m_image.size(), flash.size()), flash.begin());
        m_firmwareValid[index] = true;
        ++m_writes[index];
        if (m_target == Target::ControlFlash) {
            m_preLoaderPending = false;
        }
        Restart(m_options.restartMs);
    }
    m_attendedNs = m_nowNs;
    Event("written");
    if (m_onWrite) {
        m_onWrite();
    }
}

void SimUnit::BootByte(uint8_t byte) {
    m_attendedNs = m_nowNs;
    switch (m_bootStage) {
        case BootStage::Sync:
            if (byte == kBootSync) {
                m_synced = true;
                Send(Step::Sync, {kBootSync});
            } else if (byte == kBootQuery && m_synced) {
                m_bootStage = BootStage::LengthHigh;
                Send(Step::SyncAA, {kBootAnswer});
            }
            return;
        case BootStage::LengthHigh:
            m_kernelLength = static_cast<uint32_t>(byte) << 8;
            m_bootStage = BootStage::LengthLow;
            Send(Step::Echo, {byte});
            return;
        case BootStage::LengthLow:
            m_kernelLength |= byte;
            m_kernel.clear();
            m_bootStage = BootStage::Kernel;
            Send(Step::Echo, {byte});
            return;
        case BootStage::Kernel:
            if (m_kernel.size() == m_options.faults.m_badEchoIndex && m_badEchoesLeft > 0) {
                --m_badEchoesLeft;
                SendRaw({static_cast<uint8_t>(~byte)});
                return;
            }
            m_kernel.push_back(byte);
            Send(Step::Echo, {byte});
            if (m_kernel.size() == m_kernelLength) {
                // The boot program erases the whole flash before it runs the kernel.
                m_bootStage = BootStage::Erasing;
                std::fill(m_flash[0].begin(), m_flash[0].end(), 0xFF);
                m_firmwareValid[0] = false;
                m_preLoaderPending = false;
                const uint64_t epoch = m_epoch;
                Schedule(m_nowNs + m_options.eraseMs * kNsPerMs, [this, epoch] {
                    if (m_epoch == epoch) {
                        Send(Step::KernelDone, {kBootAnswer});
                        EnterLoader(Target::PreLoader);
                    }
                });
            }
            return;
        case BootStage::Erasing:
            return;
    }
}

bool SimUnit::ParseUnitId(const std::string& hex, std::vector<uint8_t>& id) {
    if (hex.size() != 2 * kUnitIdBytes ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    id.clear();
    for (size_t at = 0; at < hex.size(); at += 2) {
        id.push_back(static_cast<uint8_t>(std::stoi(hex.substr(at, 2), nullptr, 16)));
    }
    return true;
}
