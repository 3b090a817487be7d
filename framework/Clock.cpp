#include "framework/Clock.h"

#include <chrono>
#include <thread>

namespace {
int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

RealClock::RealClock()
    : m_startNs(SteadyNs()),
      m_epochAtStart(
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
              .count()) {}

int64_t RealClock::NowNs() {
    return SteadyNs() - m_startNs;
}

void RealClock::SleepUntilNs(int64_t ns) {
    const int64_t wait = ns - NowNs();
    if (wait > 0) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
    }
}
