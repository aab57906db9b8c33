#include "ssim_search.h"

namespace vellora::cli {

SsimSearch findLowestQuality(const std::function<SsimTrial(int)>& trial, int low, int high) {
    SsimSearch search;
    while (low <= high) {
        const int middle = low + (high - low) / 2;
        ++search.encodes;
        switch (trial(middle)) {
            case SsimTrial::Reaches:
                search.best = middle;
                high = middle - 1;
                break;
            case SsimTrial::Misses:
                low = middle + 1;
                break;
            case SsimTrial::Failed:
                search.failed = true;
                return search;
        }
    }
    return search;
}

}  // namespace vellora::cli
