// Reports to the client application's pipe: the bytes of each report, and
// a client application that is absent, silent, closing or stuck.
#include "Brindleway/common/gui_reports.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>

#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/temp_root.h"
#include "platform/pipe/pipe.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class GuiReportsTest : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }
  vqtest::TempRoot root_;
};

TEST_F(GuiReportsTest, EachReportArrivesAsItsBytes) {
  vqtest::FakePipeServer gui;
  EXPECT_EQ(NotifyGuiEvent(1009), 0);
  EXPECT_EQ(NotifyGuiPasswordResult(16), 0);
  EXPECT_EQ(NotifyGuiSmsEvent(26), 0);
  const uint8_t url[] = {'h', 't', 't', 'p', 0};
  EXPECT_EQ(NotifyGuiSub(VQ_NOTIFY_URL, url, sizeof url), 0);
  ASSERT_TRUE(gui.WaitMessages(4));
  const auto messages = gui.Messages();
  EXPECT_EQ(messages[0], (Bytes{7, 0xF1, 0x03, 0, 0}));
  EXPECT_EQ(messages[1], (Bytes{8, 16, 0, 0, 0}));
  EXPECT_EQ(messages[2], (Bytes{10, 26, 0, 0, 0}));
  EXPECT_EQ(messages[3], (Bytes{6, 6, 'h', 't', 't', 'p', 0}));
}

TEST_F(GuiReportsTest, PreferredGatewayTransactionReadsTheAnswer) {
  vqtest::FakePipeServer gui("\\\\.\\pipe\\VardenlowMarrowlantern",
                               [](const Bytes&) { return std::optional<Bytes>(Bytes{6, 1, 1, 0, 0, 0}); });
  Bytes entry(kPreferServerSize, 0);
  entry[0] = 10;
  Bytes reply;
  EXPECT_EQ(SendPreferServerToGui(entry.data(), entry.size(), &reply), 0);
  EXPECT_EQ(reply, (Bytes{6, 1, 1, 0, 0, 0}));
  const auto sent = gui.Messages();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size(), 262u);
  EXPECT_EQ(sent[0][0], 6);
  EXPECT_EQ(sent[0][1], 1);
  EXPECT_EQ(sent[0][2], 10);
  EXPECT_EQ(SendPreferServerToGui(entry.data(), entry.size(), nullptr), -1);
}

TEST_F(GuiReportsTest, RefusedTypesAndOversizePayloadsSendNothing) {
  vqtest::FakePipeServer gui;
  const uint8_t byte = 1;
  EXPECT_EQ(NotifyGui(0, &byte, 1), -1);
  EXPECT_EQ(NotifyGui(15, &byte, 1), -1);
  const Bytes big(4096, 1);
  EXPECT_EQ(NotifyGui(VQ_EVENT, big.data(), big.size()), -1);
  EXPECT_EQ(NotifyGui(VQ_EVENT, big.data(), 4095), 0);
  ASSERT_TRUE(gui.WaitMessages(1));
  EXPECT_EQ(gui.Messages().size(), 1u);
  EXPECT_EQ(gui.Messages()[0].size(), 4096u);
}

TEST_F(GuiReportsTest, AbsentSilentClosingAndStuckClientApplications) {
  Bytes reply;
  // Absent: 2 at once.
  auto start = Clock::now();
  EXPECT_EQ(SendGuiMessage(Bytes{7, 13, 0, 0, 0}), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(TransactGuiSub(VQ_NOTIFY_QUERY_PROX, nullptr, 0, reply), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_LT(vqtest::MsSince(start), 400);

  {
    // Silent: 997 after the 500 ms answer wait.
    vqtest::FakePipeServer silent;
    start = Clock::now();
    EXPECT_EQ(TransactGuiSub(VQ_NOTIFY_HOST_CHECK_FAILED, nullptr, 0, reply), platform::ERROR_IO_PENDING);
    const auto waited = vqtest::MsSince(start);
    EXPECT_GE(waited, 499);
    EXPECT_LT(waited, 3000);
    EXPECT_TRUE(reply.empty());
  }
  {
    // Closes without an answer: success with no bytes.
    vqtest::FakePipeServer closing("\\\\.\\pipe\\VardenlowMarrowlantern",
                                     [](const Bytes&) { return std::optional<Bytes>(Bytes{}); });
    EXPECT_EQ(TransactGuiSub(VQ_NOTIFY_QUERY_PROX, nullptr, 0, reply), 0u);
    EXPECT_TRUE(reply.empty());
  }
  {
    // Listens but never accepts: every report still ends within its bounds.
    platform::pipe::PipeServer stuck;
    ASSERT_EQ(stuck.Create(kReportPipeName, 0600), 0u);
    start = Clock::now();
    for (int i = 0; i < 40; ++i) SendGuiMessage(Bytes{7, 13, 0, 0, 0});
    EXPECT_NE(TransactGuiSub(VQ_NOTIFY_QUERY_PROX, nullptr, 0, reply), 0u);
    EXPECT_LT(vqtest::MsSince(start), 40 * (kGuiBusyWaitMs + 500));
  }
}

}  // namespace
}  // namespace brindleway
