#pragma once

#include <string>

#include "view/FrameLogic.h"

// The program's settings in the registry: HKCU\Software\<profile key>\<application>\<section>,
// string values, as the framework's profile functions keep them.
class RegistrySettings : public SettingsStore {
public:
    explicit RegistrySettings(std::string applicationName);
    std::string Read(const std::string& section, const std::string& entry) override;
    void Write(const std::string& section, const std::string& entry,
               const std::string& value) override;
    // The key of `section`, below HKEY_CURRENT_USER.
    std::string SectionKey(const std::string& section) const;

private:
    std::string m_applicationName;
};

// Registers ".mot" for the current user (HKCU\Software\Classes): the type id, its name, icon 129
// of `programPath` and the program as the opener, then tells the shell. False when the registry
// refused a value.
bool RegisterFileType(Edition edition, const std::string& programPath);
// The longest text a setting may hold here; longer values read back as empty.
inline constexpr unsigned long kMaxSettingBytes = 4096;
