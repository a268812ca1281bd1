// The device monitor on the kernel's real notices: network devices made
// and removed inside the client namespace (whose notices stay in that
// namespace), since this machine has no USB bus to plug into.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "common/eventually.h"
#include "netns_fixture.h"
#include "platform/device/device_monitor.h"

namespace {

using namespace vqtest;
using platform::device::DeviceMonitor;

class DeviceMonitorTest : public NetnsTest {};

TEST_F(DeviceMonitorTest, EachArrivalAndRemovalOfItsSubsystemIsReported) {
  std::atomic<int> net{0};
  std::atomic<int> usb{0};
  DeviceMonitor netMonitor;
  DeviceMonitor usbMonitor;
  ASSERT_TRUE(netMonitor.Start("net", [&net] { ++net; }));
  ASSERT_TRUE(usbMonitor.Start("usb", [&usb] { ++usb; }));
  EXPECT_FALSE(netMonitor.Start("net", [] {})) << "a second start while running";

  ASSERT_EQ(Ip({"link", "add", "vqdm0", "type", "veth", "peer", "name", "vqdm1"}), 0);
  // One notice per device of the pair.
  ASSERT_TRUE(Eventually([&net] { return net >= 2; }));
  ASSERT_EQ(Ip({"link", "del", "vqdm0"}), 0);
  ASSERT_TRUE(Eventually([&net] { return net >= 4; }));
  EXPECT_EQ(usb, 0) << "notices of another subsystem";

  const auto start = std::chrono::steady_clock::now();
  netMonitor.Stop();
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_FALSE(netMonitor.Running());
  const int seen = net;
  // A monitor still running sees the next notice; the stopped one must not.
  std::atomic<int> later{0};
  DeviceMonitor witness;
  ASSERT_TRUE(witness.Start("net", [&later] { ++later; }));
  ASSERT_EQ(Ip({"link", "add", "vqdm2", "type", "veth", "peer", "name", "vqdm3"}), 0);
  ASSERT_TRUE(Eventually([&later] { return later >= 2; }));
  EXPECT_EQ(net, seen) << "a notice after Stop";
  Ip({"link", "del", "vqdm2"});
}

}  // namespace
