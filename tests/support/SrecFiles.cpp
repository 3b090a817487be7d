#include "tests/support/SrecFiles.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string Record(char type, int addressBytes, uint32_t address, const Bytes& data) {
    Bytes fields;
    fields.push_back(static_cast<uint8_t>(addressBytes + data.size() + 1));
    for (int i = addressBytes - 1; i >= 0; --i) {
        fields.push_back(static_cast<uint8_t>(address >> (8 * i)));
    }
    fields.insert(fields.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t byte : fields) {
        sum += byte;
    }
    fields.push_back(static_cast<uint8_t>(~sum));
    std::string line = {'S', type};
    char hex[3];
    for (uint8_t byte : fields) {
        std::snprintf(hex, sizeof hex, "%02X", byte);
        line += hex;
    }
    return line;
}

}  // namespace

std::string S1Line(uint32_t address, const Bytes& data) {
    return Record('1', 2, address, data);
}
std::string S2Line(uint32_t address, const Bytes& data) {
    return Record('2', 3, address, data);
}

std::string S5Line(uint32_t count) {
    return Record('5', 2, count, {});
}
std::string S6Line(uint32_t count) {
    return Record('6', 3, count, {});
}

Bytes Ramp(size_t count, uint8_t first) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

std::string SrecFile(const std::vector<std::string>& dataLines) {
    std::string text = "S00600004844521B\n";
    for (const std::string& line : dataLines) {
        text += line + "\n";
    }
    return text + "S9030000FC\n";
}

std::string Container(const std::vector<std::string>& control, long controlCount,
                      const std::vector<std::string>& mppt, long mpptCount) {
    std::string text;
    if (!control.empty()) {
        text += "CTRL_BLOCK\n" + std::to_string(controlCount) + "\n";
        for (const std::string& line : control) {
            text += line + "\n";
        }
    }
    if (!mppt.empty()) {
        text += "MPPT_BLOCK\n" + std::to_string(mpptCount) + "\n";
        for (const std::string& line : mppt) {
            text += line + "\n";
        }
    }
    return text;
}

std::vector<std::string> Padded(std::vector<std::string> lines, size_t count) {
    lines.resize(std::max(lines.size(), count));
    return lines;
}

std::string WithLineEnds(const std::string& text, const std::string& lineEnd) {
    std::string result;
    for (const char c : text) {
        if (c == '\n') {
            result += lineEnd;
        } else {
            result += c;
        }
    }
    return result;
}

std::vector<std::string> RecordLines(size_t lines, uint32_t base) {
    std::vector<std::string> result;
    for (size_t i = 0; i < lines; ++i) {
        result.push_back(S2Line(base + 16 * static_cast<uint32_t>(i), Ramp(16, uint8_t(i))));
    }
    return result;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}
