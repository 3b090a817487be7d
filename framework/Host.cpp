#include "framework/Host.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "framework/Dialog.h"

namespace {
Host* g_host = nullptr;

Clock& MachineClock() {
    static RealClock clock;
    return clock;
}

Host& DefaultHost() {
    static StderrHost host;
    return host;
}
}  // namespace

Host::Host() : m_clock(MachineClock()) {}

int Host::RunModal(CDialog& dlg) {
    dlg.BeginModal();
    OpenDialog(dlg);
    dlg.OnInitDialog();
    while (!dlg.IsEnded()) {
        const CDialog::Timer* next = dlg.NextTimer();
        if (!WaitUntil(dlg, next != nullptr ? next->dueNs : kForever)) {
            dlg.OnCancel();
            continue;
        }
        const int id = next->id;
        dlg.TimerFired(id, m_clock.NowNs());
        dlg.OnTimer(id);
    }
    CloseDialog(dlg);
    return dlg.Result();
}

void Host::Show(const CDialog&) {}

void Host::DrawText(int, int, const std::string&) {}

void Host::Sleep(int ms) {
    m_clock.SleepUntilNs(m_clock.NowNs() + static_cast<int64_t>(ms) * kNsPerMs);
}

void Host::WaitForInputUntil(int64_t ns) {
    WatchInputUntil(ns);
}

bool Host::WatchInputUntil(int64_t ns) {
    const int64_t now = m_clock.NowNs();
    if (m_inputWatch) {
        return m_inputWatch(std::max<int64_t>(ns - now, 0));
    }
    m_clock.SleepUntilNs(ns);
    return false;
}

void Host::PauseUntil(int64_t ns) {
    m_clock.SleepUntilNs(ns);
}

int64_t Host::NextWallSecondNs() {
    const double epochNow =
        m_clock.EpochAtStart() + static_cast<double>(m_clock.NowNs()) / kNsPerSecond;
    const double next = std::floor(epochNow) + 1;
    return static_cast<int64_t>(std::ceil((next - m_clock.EpochAtStart()) * kNsPerSecond));
}

long Host::ClockMs() {
    m_clock.Spend(kClockReadCostNs);
    return static_cast<long>(m_clock.NowNs() / kNsPerMs);
}

long long Host::WallSeconds() {
    m_clock.Spend(kClockReadCostNs);
    return static_cast<long long>(
        std::floor(m_clock.EpochAtStart() + static_cast<double>(m_clock.NowNs()) / kNsPerSecond));
}

void Host::OpenDialog(CDialog&) {}

void Host::CloseDialog(CDialog&) {}

bool Host::WaitUntil(CDialog&, int64_t ns) {
    if (ns == kForever) {
        return false;
    }
    m_clock.SleepUntilNs(ns);
    return true;
}

int StderrMessageBox(const std::string& text, unsigned type) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return IDCANCEL;
        case MB_YESNO:
            return IDNO;
        default:
            return IDOK;
    }
}

int StderrHost::MessageBox(const std::string& text, unsigned type) {
    return StderrMessageBox(text, type);
}

Host& GetHost() {
    return g_host != nullptr ? *g_host : DefaultHost();
}

void SetHost(Host* host) {
    g_host = host;
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

void Sleep(int ms) {
    GetHost().Sleep(ms);
}
