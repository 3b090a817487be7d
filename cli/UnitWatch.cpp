#include "cli/UnitWatch.h"

#include <algorithm>
#include <utility>

UnitWatch::UnitWatch(std::string previousId, int64_t startNs)
    : m_previousId(std::move(previousId)),
      m_startNs(startNs),
      m_state(m_previousId.empty() ? State::Waiting : State::Removal) {}

bool UnitWatch::Take(bool answered, const std::string& id, int64_t nowNs) {
    if (m_state == State::Removal) {
        if (answered && id == m_previousId) {
            m_seenAgain = true;
            m_lastAnswerNs = nowNs;
            return false;
        }
        if (!answered) {
            const int64_t goneAt = m_seenAgain ? m_lastAnswerNs + kGoneNs
                                               : m_startNs + std::max(kGoneNs, kRestartAllowanceNs);
            if (nowNs >= goneAt) {
                m_state = State::Waiting;
            }
            return false;
        }
        // Another unit took the place of the one served before.
    }
    if (m_state != State::Taken && answered) {
        m_state = State::Taken;
    }
    return m_state == State::Taken;
}
