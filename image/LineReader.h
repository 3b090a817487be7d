#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Editors on Windows put a UTF-8 byte-order mark in front of a text; it belongs to no line.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Removes a byte-order mark from the start of a file's text; one anywhere else stays.
inline void DropByteOrderMark(std::string& text) {
    if (text.starts_with(kUtf8ByteOrderMark)) {
        text.erase(0, kUtf8ByteOrderMark.size());
    }
}

// Hands out the lines of a text one by one, without their line ends, each whole however long;
// the last line needs no line end. LF, CR LF and a lone CR each end a line, so no line is ever
// glued to the one before it whatever system wrote the file.
class LineReader {
public:
    explicit LineReader(std::string_view text) : m_text(text) {}

    bool Next(std::string_view& line) {
        if (m_pos >= m_text.size()) {
            return false;
        }
        size_t end = m_text.find_first_of("\r\n", m_pos);
        if (end == std::string_view::npos) {
            end = m_text.size();
        }
        line = m_text.substr(m_pos, end - m_pos);
        m_pos = end + 1;
        if (end < m_text.size() && m_text[end] == '\r' && m_pos < m_text.size() &&
            m_text[m_pos] == '\n') {
            ++m_pos;  // CR LF is one line end
        }
        ++m_lineNumber;
        return true;
    }
    // Number of the line handed out last, counting from 1.
    size_t LineNumber() const { return m_lineNumber; }

private:
    std::string_view m_text;
    size_t m_pos = 0;
    size_t m_lineNumber = 0;
};
