// A simulated board reached through a symbolic link, as a USB adapter is through its by-id name:
// the board can go away (the link with it) and a new one come back under the same name.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "sim/sim_thread.hpp"
#include "test_support.hpp"

namespace vantrel::testing {

class LinkedBoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link_ = dir_.file("board");
        bringUp();
    }
    void TearDown() override { sim_.reset(); }
    // What a new board is set to before the link reaches it.
    virtual void prepare(sim::SimThread&) {}
    // A new simulated board behind the link (the old one, if any, is switched off first).
    void bringUp() {
        sim_.reset();
        sim_ = std::make_unique<sim::SimThread>();
        prepare(*sim_);
        std::error_code ec;
        std::filesystem::remove(link_, ec);
        std::filesystem::create_symlink(sim_->device(), link_);
    }
    // The board goes, and its name with it.
    void takeAway() {
        std::error_code ec;
        std::filesystem::remove(link_, ec);
        sim_.reset();
    }
    TempDir dir_;
    std::string link_;
    std::unique_ptr<sim::SimThread> sim_;
    ScopedEnv ports_{"VANTREL_PORTS", "/nonexistent/vantrel-ports"};
};

}  // namespace vantrel::testing
