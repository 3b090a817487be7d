#pragma once

#include <string>

// Message box buttons, icons and answers, with the platform's values.
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_OKCANCEL = 0x01;
constexpr unsigned MB_TYPEMASK = 0x0F;
constexpr unsigned MB_ICONSTOP = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr unsigned MB_ICONMASK = 0xF0;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// The only way the logic reaches the platform: the desktop, the command line and the tests
// each install their own host.
class Host {
public:
    virtual ~Host() = default;
    // Shows a modal message box and returns the button pressed (IDOK or IDCANCEL).
    virtual int MessageBox(const std::string& text, unsigned type) = 0;
};

// A host for programs without a window: every message goes to stderr on its own line.
// Nobody can answer a question there, so a box with a Cancel button answers IDCANCEL.
class StderrHost : public Host {
public:
    int MessageBox(const std::string& text, unsigned type) override;
};

Host& GetHost();
// Installs a host; nullptr restores the default StderrHost. The caller keeps ownership.
void SetHost(Host* host);

// Installs a host for the lifetime of the guard and restores the previous one after.
class ScopedHost {
public:
    explicit ScopedHost(Host& host);
    ~ScopedHost();
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;

private:
    Host* m_previous;
};

int AfxMessageBox(const std::string& text, unsigned type = MB_OK);
