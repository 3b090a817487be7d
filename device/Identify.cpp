#include <array>
#include <cstring>
#include <string_view>

#include "device/DrovaneView.h"
#include "framework/Globals.h"
#include "framework/Host.h"
#include "image/ModelCode.h"

namespace {

// Frames of the running firmware's protocol: AA AA, address and control bytes, a function
// code, a data count, the data and the 16-bit sum of all that, high byte first.
constexpr uint8_t kFirstQuery[] = {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x00,
                                   0x00, 0x04, 0x00, 0x01, 0x59};
constexpr uint8_t kDiscoveryQuery[] = {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x01, 0x55};
constexpr uint8_t kIdentityQuery[] = {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x01,
                                      0x01, 0x03, 0x00, 0x01, 0x5A};
constexpr size_t kDiscoveryAnswer = 21;
constexpr size_t kIdentityAnswer = 75;
constexpr size_t kRegistrationKept = 19;  // answer bytes the registration frame reuses
constexpr uint8_t kRegistrationMore = 0x01;
constexpr size_t kDiscoveryDataAt = 9;  // the unit's own ten bytes, echoed on registration
constexpr size_t kDiscoveryDataBytes = 10;
constexpr size_t kVersionAt = 16;
constexpr size_t kModelAt = 21;
constexpr int kTries = 3;
constexpr int kBeforeSendMs = 100;
constexpr int kAnswerMs = 200;
constexpr int kRetryMs = 500;

struct UnitModel {
    std::string_view name;  // the model name and three blanks, as the unit pads it
    int bits;
};
constexpr std::array<UnitModel, 7> kUnitModels{{
    {"VX310R   ", kModel1To4K},
    {"VX315R   ", kModel1To4K},
    {"VX320R   ", kModel1To4K},
    {"VX328R   ", kModel1To4K},
    {"VX340R   ", kModel1To4K},
    {"VX340T   ", kModel4KA},
    {"VX360R   ", kModel6K | kBlockControl | kBlockMppt},
}};
constexpr char kSecondFamilyLetter = 'S';

CByteArray RegistrationFrame(const CByteArray& answer) {
    CByteArray frame(answer.begin(), answer.begin() + kRegistrationKept);
    frame[2] = 0x01;
    frame[4] = 0x00;
    frame[7] = 0x01;  // function code
    frame[8] = 0x0B;  // data count
    frame.push_back(kRegistrationMore);
    unsigned sum = 0;
    for (uint8_t byte : frame) {
        sum += byte;
    }
    frame.push_back(static_cast<uint8_t>(sum >> 8));
    frame.push_back(static_cast<uint8_t>(sum));
    return frame;
}

// Positions 1, 3 and 4 of the version text as a three-digit number; 0 for any other text.
int VersionNumber(const char (&version)[5]) {
    int number = 0;
    for (int position : {1, 3, 4}) {
        const char c = version[position];
        if (c < '0' || c > '9') {
            return 0;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

int UnitFlags() {
    int flags = g_szUnitVersion[0] == kSecondFamilyLetter ? kSecondFamily : 0;
    for (const UnitModel& model : kUnitModels) {
        if (std::string_view(g_szUnitModel, model.name.size()) == model.name) {
            flags |= model.bits;
            break;
        }
    }
    return flags;
}

}  // namespace

std::string UnitIdentity::Name() const {
    const size_t end = model.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : model.substr(0, end + 1);
}

std::string UnitIdentity::Describe() const {
    if (!answered) {
        return "no unit";
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (uint8_t byte : id) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return (Name().empty() ? std::string("a unit without a model name") : Name()) + " (unit id " +
           hex + ")";
}

int CDrovaneView::IdentifyUnit() {
    m_lastUnit = UnitIdentity{};
    for (int attempt = 0; attempt < kTries; ++attempt) {
        SendBytes(kFirstQuery, sizeof kFirstQuery);
        Sleep(kBeforeSendMs);
        SendBytes(kDiscoveryQuery, sizeof kDiscoveryQuery);
        Sleep(kAnswerMs);
        const CByteArray discovery = m_comm.GetInput();
        if (discovery.size() == kDiscoveryAnswer) {
            Sleep(kBeforeSendMs);
            m_comm.Output(RegistrationFrame(discovery));
            Sleep(kAnswerMs);
            m_comm.GetInput();  // the unit's reply to the registration is not used
            Sleep(kBeforeSendMs);
            SendBytes(kIdentityQuery, sizeof kIdentityQuery);
            Sleep(kAnswerMs);
            const CByteArray identity = m_comm.GetInput();
            if (identity.size() == kIdentityAnswer) {
                std::memcpy(g_szUnitVersion, identity.data() + kVersionAt, sizeof g_szUnitVersion);
                std::memcpy(g_szUnitModel, identity.data() + kModelAt, sizeof g_szUnitModel);
                g_nUnitVersion = VersionNumber(g_szUnitVersion);
                m_lastUnit.answered = true;
                m_lastUnit.model.assign(g_szUnitModel, sizeof g_szUnitModel);
                m_lastUnit.version.assign(g_szUnitVersion, sizeof g_szUnitVersion);
                m_lastUnit.id.assign(discovery.begin() + kDiscoveryDataAt,
                                     discovery.begin() + kDiscoveryDataAt + kDiscoveryDataBytes);
                if (!m_runUnit) {
                    m_runUnit = m_lastUnit;
                }
                return UnitFlags();
            }
        }
        Sleep(kRetryMs);
    }
    if (!m_runUnit) {
        m_runUnit = m_lastUnit;
    }
    return 0;
}
