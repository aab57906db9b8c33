#include "shared_state.h"

namespace vellora {

SharedState& sharedState() {
    static SharedState state;
    return state;
}

}  // namespace vellora
