// How a station tells the next unit on a port from the one it served before.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/UnitWatch.h"

namespace {

constexpr int64_t kSecond = 1'000'000'000LL;

struct Poll {
    double seconds;  // since the run of the unit served before ended
    const char* id;  // the unit that answered, or nullptr for silence
    bool take;
};

TEST(UnitWatch, TakesANewUnitOnlyOnceTheOneBeforeHasGone) {
    const struct {
        const char* name;
        const char* previous;
        std::vector<Poll> polls;
    } cases[] = {
        {"a first unit is taken at once", "", {{0.5, nullptr, false}, {1.0, "B", true}}},
        // A unit that failed (or succeeded) keeps answering: never taken again while it is there.
        {"the same unit is not taken again",
         "A",
         {{1, "A", false}, {30, "A", false}, {60, "A", false}, {61, nullptr, false}}},
        {"another unit in its place is taken at once", "A", {{1, "A", false}, {2, "B", true}}},
        // Silence shorter than the time to be gone is a missed answer, not a removal.
        {"a short silence is no removal",
         "A",
         {{1, "A", false}, {3.5, nullptr, false}, {4, "A", false}}},
        {"gone after the silence, then taken again",
         "A",
         {{1, "A", false}, {3.9, nullptr, false}, {4.1, nullptr, false}, {5, "A", true}}},
        // Right after its run a unit restarts: its silence counts only after the allowance.
        {"a restart is no removal",
         "A",
         {{5, nullptr, false}, {19.9, nullptr, false}, {21, "A", false}, {23, "A", false}}},
        {"a unit silent past the allowance has gone",
         "A",
         {{5, nullptr, false}, {20.1, nullptr, false}, {21, "A", true}}},
    };
    for (const auto& c : cases) {
        UnitWatch watch(c.previous, 0);
        for (const Poll& poll : c.polls) {
            EXPECT_EQ(watch.Take(poll.id != nullptr, poll.id != nullptr ? poll.id : "",
                                 static_cast<int64_t>(poll.seconds * kSecond)),
                      poll.take)
                << c.name << " at " << poll.seconds << " s";
        }
    }
}

}  // namespace
