#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/store/xml_config.h"
#include "store_fixture.h"

namespace {

using client::CXmlConfig;
using client::user_info;
using storetest::Record;

class ClientStoreThreadsTest : public storetest::StoreTest {};

// The dialogs, the two pipes and the preferred-gateway thread all call the
// store; none of them may lose another's change.
TEST_F(ClientStoreThreadsTest, FourThreadsMixingOperationsLoseNothing) {
  CXmlConfig store;
  ASSERT_TRUE(LoadBytes(store, storetest::Fixture("iscurrent.xml")));
  user_info shared = *store.FindUser("cur");
  shared.REMPASSWORD = "1";
  ASSERT_TRUE(store.SaveUser(shared));

  constexpr int kThreads = 4;
  constexpr int kAliases = 4;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::vector<std::map<std::string, std::string>> models(kThreads);  // alias -> NAME in the file
  std::vector<std::set<std::string>> passwords(kThreads);
  std::vector<std::set<std::vector<std::string>>> servers(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto& model = models[t];
      for (int step = 0; std::chrono::steady_clock::now() < deadline; ++step) {
        const std::string alias = "t" + std::to_string(t) + "-" + std::to_string(step % kAliases);
        switch (step % 5) {
          case 0: {
            const std::string name = "n" + std::to_string(t) + "." + std::to_string(step);
            if (!store.SaveUser(Record(alias, name))) ++failures;
            model[alias] = name;
            break;
          }
          case 1: {
            const std::vector<std::string> list{"10.0." + std::to_string(t) + "." + std::to_string(step % 250) + ":443"};
            if (store.SetProxServers(list) != 0) ++failures;
            servers[t].insert(list);
            break;
          }
          case 2: {
            // The list follows the file only at a reload; whatever it finds
            // must be what was asked for.
            const auto it = model.find(alias);
            const std::string login = (it == model.end() ? "x" : it->second) + "@10.0.0.1:443";
            if (const auto found = store.FindByLogin(login); found && LoginText(*found) != login) ++failures;
            break;
          }
          case 3: {
            const std::string password = "pw" + std::to_string(t) + "." + std::to_string(step);
            if (!store.SetUserPassword(shared, password)) ++failures;
            passwords[t].insert(password);
            break;
          }
          case 4:
            if (store.DeleteUser(Record(alias)) != (model.count(alias) == 1)) ++failures;
            model.erase(alias);
            break;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  CXmlConfig fresh;
  ASSERT_TRUE(fresh.Load(path_));
  const auto list = fresh.GetUserList();
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kAliases; ++k) {
      const std::string alias = "t" + std::to_string(t) + "-" + std::to_string(k);
      SCOPED_TRACE(alias);
      const auto it = models[t].find(alias);
      const client::user_info* entry = list->FindByAlias(alias);
      ASSERT_EQ(entry != nullptr, it != models[t].end());
      if (entry) {
        EXPECT_EQ(entry->NAME, it->second);
      }
    }
  }
  // The last password and preferred list written, the same in memory.
  const user_info stored = *list->FindByAlias("cur");
  bool passwordSet = false;
  bool serversSet = false;
  for (int t = 0; t < kThreads; ++t) {
    passwordSet = passwordSet || passwords[t].count(stored.PASSWORD);
    serversSet = serversSet || servers[t].count(stored.PROXSERVER);
  }
  EXPECT_TRUE(passwordSet) << stored.PASSWORD;
  EXPECT_TRUE(serversSet);
  EXPECT_EQ(store.GetCurrentUser()->PROXSERVER, stored.PROXSERVER);
}

}  // namespace
