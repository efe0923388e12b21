// The SDK wrapper, signed in as job 7, over a fresh demo subscription; with the state and the
// fault rules of its folder at hand for arranging cases and checking what changed.
#pragma once

#include "tests/cloudsdk/restore/WrapperFixture.h"

class VmOps : public wrappertest::WrapperTest {
protected:
    // The whole state document as text, to show that a refusal changed nothing.
    std::string Snapshot() const { return state.load().toJson().dump(); }

    azsim::FaultBook faults{cloud.dir()};
};
