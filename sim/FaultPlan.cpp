#include "sim/FaultPlan.h"

#include <array>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

constexpr std::array<std::pair<std::string_view, Step>, 11> kStepNames{{
    {"discovery", Step::Discovery},
    {"identity", Step::Identity},
    {"handover", Step::Handover},
    {"sync", Step::Sync},
    {"sync-aa", Step::SyncAA},
    {"echo", Step::Echo},
    {"kernel-done", Step::KernelDone},
    {"table", Step::Table},
    {"length", Step::Length},
    {"frame", Step::Frame},
    {"closing", Step::Closing},
}};

long Number(const std::string& text, const std::string& item) {
    size_t used = 0;
    long value = -1;
    try {
        value = std::stol(text, &used, 0);
    } catch (const std::logic_error&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < 0) {
        throw std::invalid_argument("fault \"" + item + "\": \"" + text + "\" is not a number");
    }
    return value;
}

// "STEP[#N]"
FaultPlan::Fault StepFault(FaultPlan::Kind kind, const std::string& text, const std::string& item) {
    const size_t hash = text.find('#');
    const std::string name = text.substr(0, hash);
    for (const auto& [stepName, step] : kStepNames) {
        if (name == stepName) {
            const int occurrence = hash == std::string::npos
                                       ? 0
                                       : static_cast<int>(Number(text.substr(hash + 1), item));
            return {kind, step, occurrence, 0};
        }
    }
    throw std::invalid_argument("fault \"" + item + "\": unknown step \"" + name + "\"");
}

}  // namespace

FaultPlan FaultPlan::Parse(const std::string& text) {
    FaultPlan plan;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        if (item.empty()) {
            continue;
        }
        const size_t colon = item.find(':');
        if (colon == std::string::npos) {
            throw std::invalid_argument("fault \"" + item + "\": expected KIND:VALUE");
        }
        const std::string kind = item.substr(0, colon);
        const std::string value = item.substr(colon + 1);
        if (kind == "silent") {
            plan.m_faults.push_back(StepFault(Kind::Silent, value, item));
        } else if (kind == "twice") {
            plan.m_faults.push_back(StepFault(Kind::Twice, value, item));
        } else if (kind == "answer") {
            const size_t equals = value.find('=');
            if (equals == std::string::npos) {
                throw std::invalid_argument("fault \"" + item + "\": expected answer:STEP=BYTE");
            }
            Fault fault = StepFault(Kind::Answer, value.substr(0, equals), item);
            const long byte = Number(value.substr(equals + 1), item);
            if (byte > 0xFF) {
                throw std::invalid_argument("fault \"" + item + "\": not a byte");
            }
            fault.byte = static_cast<uint8_t>(byte);
            plan.m_faults.push_back(fault);
        } else if (kind == "drop") {
            plan.m_dropByte = static_cast<uint32_t>(Number(value, item));
        } else if (kind == "corrupt") {
            plan.m_corruptByte = static_cast<uint32_t>(Number(value, item));
        } else if (kind == "restart-ms") {
            plan.m_restartMs = static_cast<int>(Number(value, item));
        } else if (kind == "id-length") {
            plan.m_identityLength = static_cast<int>(Number(value, item));
        } else if (kind == "bad-echo") {
            const size_t at = value.find('@');
            plan.m_badEchoes = static_cast<int>(Number(value.substr(0, at), item));
            if (at != std::string::npos) {
                plan.m_badEchoIndex = static_cast<uint32_t>(Number(value.substr(at + 1), item));
            }
        } else {
            throw std::invalid_argument("fault \"" + item + "\": unknown kind \"" + kind + "\"");
        }
    }
    return plan;
}

std::vector<uint8_t> FaultPlan::Shape(Step step, std::vector<uint8_t> answer) {
    const int seen = ++m_seen[step];
    for (const Fault& fault : m_faults) {
        if (fault.step != step || (fault.occurrence != 0 && fault.occurrence != seen)) {
            continue;
        }
        switch (fault.kind) {
            case Kind::Silent:
                return {};
            case Kind::Answer:
                return {fault.byte};
            case Kind::Twice: {
                std::vector<uint8_t> doubled = answer;
                doubled.insert(doubled.end(), answer.begin(), answer.end());
                return doubled;
            }
        }
    }
    return answer;
}
