// The host identifier built from the board, processor and BIOS serials.
#include "Brindleway/control/host_id.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/temp_root.h"
#include "support/log.h"

namespace brindleway {
namespace {

class HostIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    std::filesystem::create_directories(root_.At("/sys/class/dmi/id"));
  }
  // nullopt: the file is not there.
  HostIdSources Sources(std::optional<std::string> board, std::optional<std::string> processor,
                        std::optional<std::string> bios) {
    if (board) vqtest::WriteFileBytes(root_.At("/sys/class/dmi/id/board_serial"), *board);
    if (bios) vqtest::WriteFileBytes(root_.At("/sys/class/dmi/id/product_serial"), *bios);
    HostIdSources sources;
    sources.sysfsRoot = root_.At("/sys");
    sources.processorId = [processor] { return processor; };
    return sources;
  }
  vqtest::TempRoot root_;
};

TEST(MakeMD5Test, LowercaseHexOfTheText) {
  EXPECT_EQ(MakeMD5("6ABC12316BFEBFBFF000306A94XYZ9"), "13aa2666d0b815fc78f79f908eab02e8");
  EXPECT_EQ(MakeMD5(""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(HostIdTest, SerialsMakeTheIdentifier) {
  const struct {
    const char* name;
    std::optional<std::string> board, processor, bios;
    const char* original;
  } cases[] = {
      // sysfs ends its values with a newline, which is no part of the serial.
      {"all three", "ABC123\n", "BFEBFBFF000306A9", "XYZ9\n", "6ABC12316BFEBFBFF000306A94XYZ9"},
      {"short BIOS serial counts as empty", "ABC123", "BFEBFBFF000306A9", "XY", "6ABC12316BFEBFBFF000306A90"},
      {"empty board serial still counts", "", "BFEBFBFF000306A9", "XYZ9", "016BFEBFBFF000306A94XYZ9"},
      {"no processor id", "ABC123", std::nullopt, "XYZ9", "6ABC1234XYZ9"},
      {"only the BIOS", std::nullopt, std::nullopt, "XYZ9", "4XYZ9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(root_.At("/sys/class/dmi/id/board_serial"));
    std::filesystem::remove(root_.At("/sys/class/dmi/id/product_serial"));
    std::string id;
    ASSERT_TRUE(GetHostId(id, Sources(c.board, c.processor, c.bios)));
    EXPECT_EQ(id, MakeMD5(c.original));
    EXPECT_EQ(id.size(), 32u);
  }
}

TEST_F(HostIdTest, NothingReadableLeavesTheOutputUntouched) {
  std::string id = "previous";
  EXPECT_FALSE(GetHostId(id, Sources(std::nullopt, std::nullopt, std::nullopt)));
  EXPECT_EQ(id, "previous");
}

TEST(HostNameTest, MatchesTheSystemsName) {
  std::string name;
  ASSERT_TRUE(GetComputerHostName(name));
  char expected[300] = {};
  ASSERT_EQ(::gethostname(expected, sizeof expected - 1), 0);
  EXPECT_EQ(name, expected);
}

}  // namespace
}  // namespace brindleway
