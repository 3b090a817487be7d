#include "tests/support/TempDir.h"

#include <random>
#include <string>
#include <system_error>

TempDir::TempDir() : m_previous(std::filesystem::current_path()) {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
        m_path = base / ("flashtool-" + std::to_string(random()));
        std::error_code error;
        if (std::filesystem::create_directory(m_path, error)) {
            break;  // a new folder of this test's own
        }
        if (error) {
            throw std::filesystem::filesystem_error("cannot create a test folder", m_path, error);
        }
    }
    std::filesystem::current_path(m_path);
}

TempDir::~TempDir() {
    std::filesystem::current_path(m_previous);
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

bool PlantLink(const std::string& target, const std::string& link) {
    std::error_code error;
    std::filesystem::create_symlink(target, link, error);
    return !error;
}
