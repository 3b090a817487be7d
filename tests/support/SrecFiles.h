#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// One S1 (16-bit address) or S2 (24-bit address) line with a correct checksum.
std::string S1Line(uint32_t address, const Bytes& data);
std::string S2Line(uint32_t address, const Bytes& data);

// A count record holding `count` in its 16-bit (S5) or 24-bit (S6) field.
std::string S5Line(uint32_t count);
std::string S6Line(uint32_t count);

// `count` bytes counting up from `first`.
Bytes Ramp(size_t count, uint8_t first = 0);

// A whole S-record file: a header, the given lines and an end record.
std::string SrecFile(const std::vector<std::string>& dataLines);

// A 6K container of a control block and an MPPT block with the given counts; a block whose
// lines are empty is left out with its marker.
std::string Container(const std::vector<std::string>& control, long controlCount,
                      const std::vector<std::string>& mppt, long mpptCount);

// `lines` followed by blank lines up to `count` lines, so that a counted block is whole.
std::vector<std::string> Padded(std::vector<std::string> lines, size_t count);

// `text` with each LF replaced by `lineEnd`.
std::string WithLineEnds(const std::string& text, const std::string& lineEnd);

// `lines` copies of an S-record line at consecutive 16-byte rows from `base`.
std::vector<std::string> RecordLines(size_t lines, uint32_t base = 0);

void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);
bool Exists(const std::string& path);
