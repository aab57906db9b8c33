#pragma once
// The quality search behind --target-ssim: the lowest quality whose result still
// reaches the SSIM target, assuming SSIM grows with quality.

#include <functional>

namespace vellora::cli {

enum class SsimTrial { Reaches, Misses, Failed };

struct SsimSearch {
    int best = 0;         // the lowest quality tried that reached the target; 0: none did
    bool failed = false;  // a trial failed: the search stopped there
    int encodes = 0;      // trials made
};

// Bisection over [low, high]: at most 7 trials over 1..100 (the budget is 8). When
// nothing reaches the target, `high` itself has been tried.
[[nodiscard]] SsimSearch findLowestQuality(const std::function<SsimTrial(int quality)>& trial,
                                           int low = 1, int high = 100);

}  // namespace vellora::cli
