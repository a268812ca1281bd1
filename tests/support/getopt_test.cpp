#include "support/getopt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Every option letter with its argument ("s=install"), then "end@<optind>".
std::string Parse(std::vector<const char*> args, const char* optstring) {
  args.insert(args.begin(), "prog");
  support::GetoptState st;
  std::string out;
  for (;;) {
    const int c = support::getopt(st, static_cast<int>(args.size()), args.data(), optstring);
    if (c == -1) break;
    out += static_cast<char>(c);
    if (st.optarg) out += std::string("=") + st.optarg;
    out += " ";
  }
  return out + "end@" + std::to_string(st.optind);
}

TEST(Getopt, Table) {
  struct Case {
    std::vector<const char*> args;
    const char* expected;
  };
  const Case cases[] = {
      {{}, "end@1"},
      {{"-s", "install"}, "s=install end@3"},
      {{"-sinstall"}, "s=install end@2"},
      {{"-x", "-s", "start"}, "? s=start end@4"},
      {{"-s"}, "? end@2"},
      {{"-d", "-s", "stop"}, "d s=stop end@4"},
      {{"-ds", "stop"}, "d s=stop end@3"},
      {{"--", "-s", "start"}, "end@2"},
      {{"word", "-s", "start"}, "end@1"},
      {{"-", "-d"}, "end@1"},
      {{"-:"}, "? end@2"},
  };
  for (const Case& c : cases) EXPECT_EQ(Parse(c.args, "s:d"), c.expected);
}

TEST(Getopt, ClientApplicationOptionString) {
  EXPECT_EQ(Parse({"-d", "-h", "gw", "-p", "443", "-u", "bob", "-k", "1234", "-w"}, "h:p:u:s:c:dqk:o:w"),
            "d h=gw p=443 u=bob k=1234 w end@11");
}

}  // namespace
