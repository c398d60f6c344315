// The library over the rig's loopback transport, chosen at run time: the public API reaches
// in-process cameras without sockets, and every handle it opens is closed through it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "protocol/protocol.h"
#include "kepra/kepra.h"
#include "loopback.h"
#include "rig.h"

namespace {

class Loopback : public ::testing::Test {
 protected:
  void SetUp() override {
    kepra::driver::Use(&rig::loopback::Transport());
    camera_ = std::make_shared<vcam::Camera>(rig::TestIndex());
    camera_->EnableLog(true);
    rig::loopback::Attach(camera_);
  }
  void TearDown() override {
    camera_->Unplug();
    kepra::driver::Use(nullptr);
  }
  // A private device directory (for the lock objects and debug lines) without sockets in it:
  // only the loopback can serve these cameras.
  rig::Rig rig_;
  std::shared_ptr<vcam::Camera> camera_;
};

TEST_F(Loopback, ServesThePublicApiAndClosesEveryHandleItOpened) {
  EXPECT_EQ(kepra_OpenDevice(rig::TestIndex() == 34 ? 33 : rig::TestIndex() + 1),
            KEPRA_INVALID_HANDLE);
  KEPRA_HANDLE h = kepra_OpenDevice(rig::TestIndex());
  ASSERT_NE(h, KEPRA_INVALID_HANDLE);
  ASSERT_EQ(kepra_WriteSensorReg(h, 0x20, 0x1AB), 1u);
  EXPECT_EQ(camera_->Register(0x20), 0x1AB);
  std::uint16_t value = 0;
  camera_->SetRegister(0x0E, 0x321);
  ASSERT_EQ(kepra_ReadSensorReg(h, 0x0E, &value), 1u);
  EXPECT_EQ(value, 0x321);

  // A stream grabs on a handle of its own, and its stop cancels a grab that waits for a
  // trigger which never comes.
  ASSERT_EQ(kepra_SetStreamMode(h, KEPRA_STREAM_SNAPSHOT), 1u);
  ASSERT_EQ(kepra_SetSnapshotParams(h, 0, 0), 1u);
  kepra_StreamConfig config = {sizeof config, 16, 2, KEPRA_STREAM_OLDEST_FIRST, 1, 0, nullptr};
  KEPRA_STREAM s = kepra_OpenStream(h, &config);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(kepra_StartStream(s), 1u);
  EXPECT_EQ(rig::loopback::OpenHandles(), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto stop = std::async(std::launch::async, [s] { return kepra_StopStream(s); });
  const bool prompt = stop.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!prompt) camera_->Trigger();  // so that the test can end
  EXPECT_TRUE(prompt) << "the stop waited for a trigger";
  EXPECT_EQ(stop.get(), 1u);
  EXPECT_EQ(kepra_CloseStream(s), 1u);
  EXPECT_EQ(rig::loopback::OpenHandles(), 1u);

  EXPECT_EQ(kepra_CloseDevice(h), 1u);
  EXPECT_EQ(rig::loopback::OpenHandles(), 0u);
}

}  // namespace
