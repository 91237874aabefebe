// The sandbox shared by the Sentera tests: one VORN_ROOT for the whole test program (the
// driver fixes its paths once), emptied before every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fakeSentera.h"
#include "support/testSupport.h"

namespace st {

// The sandbox root of this test program.
const std::string& sandboxRoot();

// Starts a fresh camera, points the daemon's camera address at it, empties the sandbox root
// and records every sleepMs wait instead of waiting.
class SenteraTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Points the camera address somewhere nobody listens.
    void unreachableCamera();
    std::string url(const std::string& path) const;
    std::string root(const std::string& rel) const { return sandboxRoot() + rel; }

    vt::FakeSentera camera;
    std::vector<long> sleeps;
};

// A port on 127.0.0.1 that nobody listens on.
int closedPort();

} // namespace st
