// A reply wait's outcome as the state a step would go to: `state` while it waits, `failState` when
// it gave up, `nextState` when the reply arrived.
#pragma once

#include <cstdint>

#include "engine/UnitLink.h"

inline int32_t StateAfter(TReplyWait outcome, int32_t state, int32_t failState, int32_t nextState) {
    switch (outcome) {
    case TReplyWait::Arrived: return nextState;
    case TReplyWait::GaveUp: return failState;
    default: return state;
    }
}
