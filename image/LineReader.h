#pragma once

#include <cstddef>
#include <cstring>
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
    explicit LineReader(std::string_view text)
        : m_text(text), m_lineFeed(Find('\n', 0, text.size())) {}

    bool Next(std::string_view& line) {
        const size_t size = m_text.size();
        if (m_pos >= size) {
            return false;
        }
        // The next LF is searched for once and kept, so lines that lone CRs end before it never
        // search the same text again; a CR can then only lie between here and that LF.
        if (m_lineFeed < m_pos) {
            m_lineFeed = Find('\n', m_pos, size);
        }
        const size_t end = Find('\r', m_pos, m_lineFeed);
        line = m_text.substr(m_pos, end - m_pos);
        m_pos = end + 1;
        if (m_pos == m_lineFeed && m_lineFeed < size) {
            ++m_pos;  // CR LF is one line end
        }
        ++m_lineNumber;
        return true;
    }
    // Number of the line handed out last, counting from 1.
    size_t LineNumber() const { return m_lineNumber; }

private:
    // Position of `c` in [from, to), or `to` when it is not there.
    size_t Find(char c, size_t from, size_t to) const {
        if (from >= to) {
            return to;
        }
        const void* found = std::memchr(m_text.data() + from, c, to - from);
        return found ? static_cast<size_t>(static_cast<const char*>(found) - m_text.data()) : to;
    }

    std::string_view m_text;
    size_t m_pos = 0;
    size_t m_lineFeed;  // the first LF at or after an earlier m_pos, or the text's size
    size_t m_lineNumber = 0;
};
