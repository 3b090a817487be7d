#include "framework/Host.h"

#include <cstdio>

namespace {
StderrHost g_stderrHost;
Host* g_host = &g_stderrHost;
}  // namespace

int StderrHost::MessageBox(const std::string& text, unsigned type) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    return (type & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
}

Host& GetHost() {
    return *g_host;
}

void SetHost(Host* host) {
    g_host = host != nullptr ? host : &g_stderrHost;
}

ScopedHost::ScopedHost(Host& host) : m_previous(g_host) {
    g_host = &host;
}

ScopedHost::~ScopedHost() {
    g_host = m_previous;
}

int AfxMessageBox(const std::string& text, unsigned type) {
    return GetHost().MessageBox(text, type);
}
