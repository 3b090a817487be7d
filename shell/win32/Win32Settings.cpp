#include "shell/win32/Win32Settings.h"

#include "shell/win32/Win32Api.h"

#include <shlobj.h>

#include <vector>

namespace {

constexpr const char* kClasses = "Software\\Classes";

bool SetString(const std::string& keyPath, const char* name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG status =
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

}  // namespace

RegistrySettings::RegistrySettings(std::string applicationName)
    : m_applicationName(std::move(applicationName)) {}

std::string RegistrySettings::SectionKey(const std::string& section) const {
    return std::string("Software\\") + kProfileKey + "\\" + m_applicationName + "\\" + section;
}

std::string RegistrySettings::Read(const std::string& section, const std::string& entry) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SectionKey(section).c_str(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return {};
    }
    DWORD type = 0;
    DWORD size = 0;
    std::string value;
    if (RegQueryValueExA(key, entry.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_SZ && size > 0 && size <= kMaxSettingBytes) {
        std::vector<char> buffer(size + 1, '\0');
        if (RegQueryValueExA(key, entry.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS) {
            value.assign(buffer.data());
        }
    }
    RegCloseKey(key);
    return value;
}

void RegistrySettings::Write(const std::string& section, const std::string& entry,
                             const std::string& value) {
    // A store that refuses leaves the program working; the setting is simply not kept.
    SetString(SectionKey(section), entry.c_str(), value);
}

bool RegisterFileType(Edition edition, const std::string& programPath) {
    const std::string classes = kClasses;
    const std::string progId = DocumentSubstring(edition, DocumentPart::TypeId);
    const bool ok =
        SetString(classes + "\\" + DocumentSubstring(edition, DocumentPart::FilterExt), nullptr,
                  progId) &&
        SetString(classes + "\\" + progId, nullptr,
                  DocumentSubstring(edition, DocumentPart::TypeName)) &&
        SetString(classes + "\\" + progId + "\\DefaultIcon", nullptr, programPath + ",-129") &&
        SetString(classes + "\\" + progId + "\\shell\\open\\command", nullptr,
                  "\"" + programPath + "\" \"%1\"");
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return ok;
}
