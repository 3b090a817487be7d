#include "tests/support/TempDir.h"

#include <stdlib.h>

TempDir::TempDir() : m_previous(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "flashtool-XXXXXX").string();
    m_path = mkdtemp(pattern.data());
    std::filesystem::current_path(m_path);
}

TempDir::~TempDir() {
    std::filesystem::current_path(m_previous);
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}
