#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "client/store/process_store.h"
#include "store_fixture.h"

namespace {

// Runs the tool in the test's root; its standard output.
std::string RunTool(const std::string& args, int* status) {
  const std::string command = std::string(VQSTORE_PATH) + " " + args + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int raw = ::pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

class ClientStoreToolTest : public storetest::StoreTest {};

TEST_F(ClientStoreToolTest, AddDumpDeleteAndADamagedFile) {
  int status = -1;
  RunTool("add work bob gw.example 443 s3cret", &status);
  EXPECT_EQ(status, 0);
  RunTool("add work bob gw.example 443", &status);
  EXPECT_EQ(status, 1);
  RunTool("add plain alice 10.0.0.1 4433", &status);
  EXPECT_EQ(status, 0);

  std::string dump = RunTool("dump", &status);
  EXPECT_EQ(status, 0);
  const size_t work = dump.find("connection work\n");
  const size_t plain = dump.find("connection plain\n");
  ASSERT_NE(work, std::string::npos) << dump;
  ASSERT_NE(plain, std::string::npos) << dump;
  ASSERT_LT(work, plain);
  const std::string workPart = dump.substr(work, plain - work);
  const std::string plainPart = dump.substr(plain);
  EXPECT_NE(workPart.find("  host: gw.example\n"), std::string::npos) << dump;
  EXPECT_NE(workPart.find("  secret opens: yes\n"), std::string::npos) << dump;
  EXPECT_NE(plainPart.find("  secret opens: none\n"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("s3cret"), std::string::npos);

  RunTool("delete plain", &status);
  EXPECT_EQ(status, 0);
  RunTool("delete plain", &status);
  EXPECT_EQ(status, 1);
  RunTool("add", &status);
  EXPECT_EQ(status, 2);

  const std::string file = client::XmlConfigPath();
  vqtest::WriteFileBytes(file, "garbage\n");
  dump = RunTool("dump", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(dump.find("no saved connections\n"), std::string::npos) << dump;
  EXPECT_EQ(vqtest::ReadFileBytes(file + ".bad"), "garbage\n");
}

}  // namespace
