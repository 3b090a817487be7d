#include "framework/FileSeal.h"

#include <cstdint>
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

// 64-bit FNV-1a: not a defence against a forger, but no accidental change keeps it.
uint64_t Hash(std::string_view content) {
    constexpr uint64_t kOffsetBasis = 0xcbf29ce484222325ULL;
    constexpr uint64_t kPrime = 0x100000001b3ULL;
    uint64_t hash = kOffsetBasis;
    for (const char c : content) {
        hash = (hash ^ static_cast<unsigned char>(c)) * kPrime;
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
