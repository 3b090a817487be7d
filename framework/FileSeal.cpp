#include "framework/FileSeal.h"

#include <cstdint>
#include <cstring>
#include <map>

namespace {

struct Seal {
    size_t size;
    uint64_t hash;
};

std::map<std::string, Seal>& Seals() {
    static std::map<std::string, Seal> seals;
    return seals;
}

// A hash of eight bytes a step: each step is a bijection of the hash for a given word, so two
// contents that differ in one word always differ in hash. Not a defence against a forger, but
// no accidental change keeps it. The value lives only in this run's memory.
uint64_t Hash(std::string_view content) {
    constexpr uint64_t kSeed = 0xcbf29ce484222325ULL;
    constexpr uint64_t kMultiplier = 0x9e3779b97f4a7c15ULL;  // odd, with bits all over
    constexpr int kFold = 29;
    const auto step = [](uint64_t hash, uint64_t word) {
        hash = (hash ^ word) * kMultiplier;
        return hash ^ hash >> kFold;
    };
    uint64_t hash = kSeed;
    const char* data = content.data();
    size_t left = content.size();
    for (; left >= sizeof(uint64_t); data += sizeof(uint64_t), left -= sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, data, sizeof word);
        hash = step(hash, word);
    }
    if (left > 0) {
        uint64_t word = 0;
        std::memcpy(&word, data, left);
        hash = step(hash, word);
    }
    return hash;
}

}  // namespace

void SealFile(const std::string& path, std::string_view content) {
    Seals()[path] = Seal{content.size(), Hash(content)};
}

void ForgetSeal(const std::string& path) {
    Seals().erase(path);
}

void ForgetAllSeals() {
    Seals().clear();
}

bool IsSealed(const std::string& path) {
    return Seals().count(path) != 0;
}

bool MatchesSeal(const std::string& path, std::string_view content) {
    const auto found = Seals().find(path);
    return found != Seals().end() && found->second.size == content.size() &&
           found->second.hash == Hash(content);
}
