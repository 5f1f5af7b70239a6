// Tests that start from fresh process state with a cFakePlatform installed, and a mesh component
// that counts its destruction.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "geometry/mesh.h"
#include "hull/hull.h"
#include "state/state.h"
#include "tests/support/fake_platform.h"

class cFakePlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    SetPlatform(&platform);
  }
  void TearDown() override {
    platform.ReleaseAll();
    platform.threads.JoinAll();
    delete CurrentMesh;
    SetPlatform(nullptr);
    ResetProcessState();
  }

  cFakePlatform platform;
};

// A hull result that counts its destruction.
struct cCountedHull : cHullResult {
  explicit cCountedHull(int& count_) : count(count_) {}
  ~cCountedHull() override { ++count; }
  int& count;
};

struct cCountedComponent : cMeshComponent {
  explicit cCountedComponent(int& count_) : count(count_) {}
  ~cCountedComponent() override { ++count; }
  std::uint32_t GetTypeId() override { return 0; }
  void Apply(cMesh*) override {}
  void Draw() override {}
  int& count;
};
