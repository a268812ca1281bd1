// The data path as the channel's start and close drive it: both threads
// and the packet pool come up on one context, traffic and keep-alives flow
// to the test gateway, and the stop joins both threads before the pool
// goes, leaving the stop events ready for the next channel.
#include "Brindleway/datapath/data_path_threads.h"

#include <gtest/gtest.h>

#include "data_path_fixture.h"
#include "ipv4_test_packets.h"

namespace brindleway {
namespace {

using vqtest::Eventually;

class DataPathThreadsTest : public dptest::DataPathFixture {
 protected:
  void TearDown() override {
    threads_.Stop();
    DataPathFixture::TearDown();
  }
  platform::FakeClock clock_;
  platform::Event ioStop_{platform::Event::Reset::Manual};
  platform::Event keepAliveStop_{platform::Event::Reset::Manual};
  DataPathThreads threads_{ioStop_, keepAliveStop_};
};

TEST_F(DataPathThreadsTest, StartCarriesTrafficAndKeepAlivesStopJoinsBothBeforeThePoolGoes) {
  pool_.reset();  // the data path brings its own
  StartGateway();
  ctx_.clock = &clock_;
  clock_.Advance(5000);
  threads_.Start(ctx_);
  EXPECT_TRUE(ctx_.running.load());
  EXPECT_EQ(ctx_.lastTrafficMs.load(), 5000);
  EXPECT_EQ(data_buffer_pool_init(), -1);  // the pool exists

  const std::vector<uint8_t> request = iptest::Ipv4({.source = "10.1.0.5", .destination = "192.168.50.7"});
  KernelSends(request);
  ASSERT_TRUE(Eventually([&] { return GatewayTraffic().size() == 1; }));
  ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
  clock_.Advance(1000);
  ASSERT_TRUE(Eventually([&] { return gateway_->Stats().heartBeats == 1 && gateway_->Stats().keepAlives == 1; }));

  threads_.Stop();
  EXPECT_FALSE(threads_.IoLoop().Running());
  EXPECT_FALSE(threads_.KeepAlive().Running());
  EXPECT_EQ(threads_.IoLoop().ExitCode(), 0);
  EXPECT_EQ(threads_.KeepAlive().ExitCode(), VQ_TUN_KEEPALIVE_STOPPED);
  EXPECT_FALSE(ctx_.running.load());
  EXPECT_FALSE(ioStop_.IsSet());
  EXPECT_FALSE(keepAliveStop_.IsSet());
  EXPECT_EQ(data_buffer_pool_init(), 0);  // the pool was released
  data_buffer_pool_destroy();
  EXPECT_TRUE(posts_.Posts().empty());
  threads_.Stop();  // again: nothing to do
}

TEST(DataPathThreadsLifetimeTest, StopWithoutStartDoesNothing) {
  platform::Event ioStop{platform::Event::Reset::Manual};
  platform::Event keepAliveStop{platform::Event::Reset::Manual};
  DataPathThreads threads(ioStop, keepAliveStop);
  threads.Stop();
  EXPECT_FALSE(threads.Started());
  EXPECT_FALSE(ioStop.IsSet());
}

}  // namespace
}  // namespace brindleway
