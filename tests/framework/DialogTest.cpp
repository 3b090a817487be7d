#include <gtest/gtest.h>

#include "framework/Dialog.h"
#include "sim/VirtualHost.h"

namespace {

// Records its ticks and ends after a given number of them.
class TickingDialog : public CDialog {
public:
    TickingDialog(int periodMs, int endAfter)
        : CDialog("Ticking", {.progressBar = false, .stopButton = true}),
          m_periodMs(periodMs),
          m_endAfter(endAfter) {}

    bool OnInitDialog() override {
        if (m_periodMs > 0) {
            SetTimer(0, m_periodMs);
        }
        return true;
    }
    void OnTimer(int id) override {
        m_ticks.push_back(GetHost().GetClock().NowNs() / kNsPerMs);
        if (id == 0 && static_cast<int>(m_ticks.size()) == m_endAfter) {
            OnOK();
        } else if (m_ticks.size() == 2) {
            KillTimer(0);  // re-armed: the next tick is a whole period from now
            GetHost().Sleep(30);
            SetTimer(0, m_periodMs);
        }
    }

    int m_periodMs;
    int m_endAfter;
    std::vector<int64_t> m_ticks;
};

TEST(ModalLoop, PeriodicTimersInVirtualTime) {
    VirtualHost host;
    ScopedHost installed(host);
    TickingDialog dlg(100, 4);
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.m_ticks, (std::vector<int64_t>{100, 200, 330, 430}));
    EXPECT_EQ(host.m_opened, std::vector<std::string>{"Ticking"});

    // The same dialog runs again from a fresh start.
    dlg.m_ticks.clear();
    host.CancelAt(host.Clock().NowNs() + 250 * kNsPerMs);  // a person presses Stop
    dlg.m_endAfter = 100;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.m_ticks.size(), 2u);
    EXPECT_EQ(host.Clock().NowNs() / kNsPerMs, 680);

    // With no timer armed nothing could ever end it, so it ends at once.
    TickingDialog idle(0, 1);
    EXPECT_EQ(idle.DoModal(), IDCANCEL);
}

TEST(ModalLoop, SleepAndClockReadsMoveVirtualTime) {
    VirtualHost host;
    ScopedHost installed(host);
    const long long wall = host.WallSeconds();
    Sleep(1500);
    EXPECT_GE(host.ClockMs(), 1500);
    EXPECT_EQ(host.WallSeconds(), wall + 1);  // the start lies 0.3 s into a second
    Sleep(200);
    EXPECT_EQ(host.WallSeconds(), wall + 2);
    const long start = host.ClockMs();
    while (host.ClockMs() < start + 1000) {
    }
    EXPECT_EQ(host.ClockMs(), start + 1000);
}

}  // namespace

TEST(MessageBoxes, WithoutAPersonAQuestionIsAnsweredNo) {
    ::testing::internal::CaptureStderr();
    const struct {
        unsigned type;
        int answer;
    } cases[] = {{MB_OK, IDOK}, {MB_OKCANCEL, IDCANCEL}, {MB_YESNO | MB_DEFBUTTON2, IDNO}};
    for (const auto& c : cases) {
        EXPECT_EQ(StderrMessageBox("Flash anyway?", c.type), c.answer) << c.type;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Flash anyway?\nFlash anyway?\nFlash anyway?\n");
}
