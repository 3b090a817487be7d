#pragma once

#include <cstddef>
#include <string_view>

// Hands out the lines of a text one by one, without their line ends (LF or CR LF), each whole
// however long; the last line needs no line end.
class LineReader {
public:
    explicit LineReader(std::string_view text) : m_text(text) {}

    bool Next(std::string_view& line) {
        if (m_pos >= m_text.size()) {
            return false;
        }
        size_t end = m_text.find('\n', m_pos);
        if (end == std::string_view::npos) {
            end = m_text.size();
        }
        line = m_text.substr(m_pos, end - m_pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        m_pos = end + 1;
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
