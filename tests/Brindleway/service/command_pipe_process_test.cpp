// The command pipe of a running Brindleway: replies to a client, and a stop
// that must not wait for a client that keeps its connection open.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "common/child_process.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "platform/pipe/pipe.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CommandPipeProcess, StatusQueryUnknownCommandsAndStopWithAClientConnected) {
  vqtest::TempRoot root;
  vqtest::ChildProcess service({BRINDLEWAY_PATH});
  Bytes reply;
  ASSERT_TRUE(vqtest::Eventually([&] { return vqtest::SendCommand({3}, reply) == 0; }));
  Bytes idle(65, 0);
  idle[0] = 3;
  idle[37] = 1;
  EXPECT_EQ(reply, idle);
  EXPECT_EQ(vqtest::SendCommand({0x7F, 1, 2}, reply), 0u);
  EXPECT_EQ(reply, Bytes{0x7F});
  EXPECT_EQ(vqtest::SendCommand({5, 2, 0, 0, 0}, reply), 0u);
  EXPECT_EQ(reply, (Bytes{5, 0, 0, 0, 0}));
  EXPECT_EQ(vqtest::SendCommand({3}, reply), 0u);  // now traced

  // A client that stays connected and silent.
  platform::pipe::PipeConnection idleClient;
  ASSERT_EQ(platform::pipe::Connect("\\\\.\\pipe\\VardenlowBrindleway", idleClient, 2000), 0u);
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20000), 0);
  Bytes after;
  EXPECT_EQ(idleClient.Read(after, 4096, 2000), 0u);
  EXPECT_TRUE(after.empty());  // the service closed its end
  EXPECT_NE(vqtest::ReadLogText().find("Receive keep-alive message from GUI"), std::string::npos);
}

}  // namespace
