// The in-memory twin of the adapter's device keeps the device's contract.
#include "platform/tun/tun_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "platform/win32/win32_error.h"

namespace {

namespace tun = platform::tun;

class TunChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(tun::OpenChannel(state_, device_), 0u); }

  void FromKernel(const std::string& packet) {
    ASSERT_EQ(::send(state_->peer.get(), packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
  }

  std::shared_ptr<tun::ChannelState> state_ = std::make_shared<tun::ChannelState>();
  std::unique_ptr<tun::Device> device_;
};

TEST_F(TunChannelTest, PacketsBothWaysOneAtATime) {
  std::array<uint8_t, 64> a{}, b{}, c{};
  size_t length = 0;
  EXPECT_EQ(device_->Read(a, length), platform::ERROR_IO_PENDING);

  FromKernel("first");
  FromKernel("second!");
  const std::span<uint8_t> buffers[3] = {a, b, c};
  size_t lengths[3] = {};
  size_t count = 0;
  EXPECT_EQ(device_->ReadPackets(buffers, lengths, count), platform::ERROR_IO_PENDING);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(std::string(a.begin(), a.begin() + lengths[0]), "first");
  EXPECT_EQ(std::string(b.begin(), b.begin() + lengths[1]), "second!");

  const std::string out = "to the kernel";
  ASSERT_EQ(device_->Write(std::span(reinterpret_cast<const uint8_t*>(out.data()), out.size())), 0u);
  char got[64] = {};
  ASSERT_EQ(::recv(state_->peer.get(), got, sizeof got, 0), static_cast<ssize_t>(out.size()));
  EXPECT_EQ(std::string(got), out);
}

TEST_F(TunChannelTest, AShortBufferSaysSo) {
  FromKernel(std::string(100, 'x'));
  std::array<uint8_t, 10> small{};
  size_t length = 0;
  EXPECT_EQ(device_->Read(small, length), platform::ERROR_MORE_DATA);
  EXPECT_EQ(length, small.size());
  EXPECT_EQ(device_->Read(small, length), platform::ERROR_IO_PENDING);  // the rest is gone
}

TEST_F(TunChannelTest, RequestsAndClose) {
  uint32_t mtu = 0;
  ASSERT_EQ(device_->GetMtu(mtu), 0u);
  EXPECT_EQ(mtu, 1400u);
  state_->answersMtu = false;
  EXPECT_NE(device_->GetMtu(mtu), 0u);
  ASSERT_EQ(device_->SetMediaStatus(true), 0u);
  EXPECT_TRUE(state_->mediaConnected);

  device_->Close();
  EXPECT_TRUE(state_->closed);
  EXPECT_EQ(device_->PollFd(), -1);
  std::array<uint8_t, 8> buffer{};
  size_t length = 0;
  EXPECT_EQ(device_->Read(buffer, length), platform::ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->Write(buffer), platform::ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->SetMediaStatus(false), platform::ERROR_INVALID_HANDLE);
  EXPECT_TRUE(state_->mediaConnected);
}

}  // namespace
