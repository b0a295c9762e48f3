// The workload shared by the native store benchmarks: sets of distinct keys
// of 8 to 24 characters, the same for a given count in every run, and the
// heap bytes in use, from which the memory of an entry is taken.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qc::bench {

// `count` distinct keys, made once per count and kept for the process.
inline const std::vector<std::string>& Keys(std::size_t count) {
    static std::unordered_map<std::size_t, std::vector<std::string>> made;
    std::vector<std::string>& keys = made[count];
    if (keys.empty()) {
        static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-@";
        std::mt19937 random(static_cast<unsigned>(count));
        std::unordered_set<std::string> seen;
        keys.reserve(count);
        while (keys.size() < count) {
            std::string key(8 + random() % 17, ' ');
            for (char& c : key) c = kAlphabet[random() % (sizeof(kAlphabet) - 1)];
            if (seen.insert(key).second) keys.push_back(std::move(key));
        }
    }
    return keys;
}

// The keys' texts in a fixed shuffled order, so that lookups and removals
// do not follow the order of the adds.
inline std::vector<const char*> Shuffled(const std::vector<std::string>& keys) {
    std::vector<const char*> order;
    order.reserve(keys.size());
    for (const std::string& key : keys) order.push_back(key.c_str());
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    return order;
}

// Bytes the C heap has handed out and not taken back, chunk headers and
// large mapped blocks included: both the store and the baseline allocate
// from it, so the growth of this figure is what their entries cost.
inline double HeapBytesInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

}  // namespace qc::bench
