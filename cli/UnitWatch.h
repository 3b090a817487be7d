#pragma once

#include <cstdint>
#include <string>

// How a station tells one unit from the next on its port, from the identifications it polls:
// a new unit is one that answers after the unit served before has gone away, or one with
// another unit id. A unit has gone once it has not answered for kGoneNs; right after its run
// its silence counts only once it answered again or the restart allowance passed (a unit is
// silent while it restarts), so a unit that failed, or restarts slowly, is never taken twice
// while it sits on the port.
class UnitWatch {
public:
    static constexpr int64_t kGoneNs = 3'000'000'000LL;
    // The tool's restart countdown: by then a unit that is still there answers again.
    static constexpr int64_t kRestartAllowanceNs = 20'000'000'000LL;

    enum class State { Removal, Waiting, Taken };

    // `previousId`: the unit served on the port just before (hex), or "" for none; `startNs`:
    // when its run ended.
    UnitWatch(std::string previousId, int64_t startNs);

    // One identification at `nowNs`, answered by the unit `id` (hex) or not at all. True when
    // that unit is to be taken.
    bool Take(bool answered, const std::string& id, int64_t nowNs);

    State GetState() const { return m_state; }
    const std::string& PreviousId() const { return m_previousId; }

private:
    std::string m_previousId;
    int64_t m_startNs;
    int64_t m_lastAnswerNs = 0;
    bool m_seenAgain = false;
    State m_state;
};
