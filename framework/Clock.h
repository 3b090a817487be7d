#pragma once

#include <cstdint>

// Time as the host sees it, in nanoseconds from an arbitrary start. Every wait of the logic goes
// through a clock, so a virtual clock makes a whole run take no real time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual int64_t NowNs() = 0;
    // Blocks until the clock has reached `ns`.
    virtual void SleepUntilNs(int64_t ns) = 0;
    // What a busy loop costs per round (a clock read, a port poll); a virtual clock advances
    // by it so such loops end.
    virtual void Spend(int64_t ns) = 0;
    // Seconds since the epoch at NowNs() == 0.
    virtual double EpochAtStart() = 0;
};

// The machine's steady clock; waits really wait.
class RealClock : public Clock {
public:
    RealClock();
    int64_t NowNs() override;
    void SleepUntilNs(int64_t ns) override;
    void Spend(int64_t) override {}
    double EpochAtStart() override { return m_epochAtStart; }

private:
    int64_t m_startNs;
    double m_epochAtStart;
};

// A clock that only moves when somebody waits or spends time on it.
class VirtualClock : public Clock {
public:
    // A fixed point a little past a whole second, so whole-second polls behave as on a real PC.
    static constexpr double kEpochAtStart = 1'800'000'000.3;

    int64_t NowNs() override { return m_nowNs; }
    void SleepUntilNs(int64_t ns) override {
        if (ns > m_nowNs) {
            m_nowNs = ns;
        }
    }
    void Spend(int64_t ns) override { m_nowNs += ns; }
    double EpochAtStart() override { return kEpochAtStart; }

private:
    int64_t m_nowNs = 0;
};

constexpr int64_t kNsPerUs = 1'000;
constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;
