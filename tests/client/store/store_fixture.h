// A fresh root for each store test, the store's file in it, and an
// independent look at what the file holds.
#pragma once

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "client/store/user_info.h"
#include "client/store/xml_config.h"
#include "common/temp_root.h"

namespace storetest {

inline std::string Fixture(const std::string& name) {
  return vqtest::ReadFileBytes(std::string(VQ_TEST_DATA_DIR) + "/client_store/" + name);
}

// A connection as the dialogs make one.
inline client::user_info Record(const std::string& alias, const std::string& name = "bob",
                                       const std::string& host = "10.0.0.1", const std::string& port = "443") {
  client::user_info r;
  r.ALIASID = alias;
  r.NAME = name;
  r.HOST = host;
  r.PORT = port;
  r.LOGINMODE = "0";
  r.REMPASSWORD = "0";
  r.REMPINWORD = "0";
  r.PROXDETECT = "0";
  return r;
}

// Every element of the file in document order as "PATH=TEXT" (the text of
// elements that hold no elements), parsed here rather than by the store.
inline std::vector<std::string> Tree(const std::string& bytes) {
  pugi::xml_document doc;
  if (!doc.load_buffer(bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_ws_pcdata_single)) {
    return {"(not well-formed)"};
  }
  std::vector<std::string> out;
  struct Walker : pugi::xml_tree_walker {
    std::vector<std::string>* out;
    bool for_each(pugi::xml_node& node) override {
      if (node.type() != pugi::node_element) return true;
      std::string path;
      for (pugi::xml_node n = node; n && n.type() == pugi::node_element; n = n.parent()) {
        path = "/" + std::string(n.name()) + path;
      }
      const bool leaf = !node.find_child([](pugi::xml_node c) { return c.type() == pugi::node_element; });
      out->push_back(leaf ? path + "=" + node.text().get() : path);
      return true;
    }
  } walker;
  walker.out = &out;
  doc.traverse(walker);
  return out;
}

// The files in a folder other than the store's own (temporary files left
// behind would show here).
inline std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class StoreTest : public ::testing::Test {
 public:
  void SetUp() override {
    folder_ = root_.At("/store");
    std::filesystem::create_directories(folder_);
    path_ = folder_ + "/OrlimbConfig.xml";
  }

  // Loads the fixture's bytes as the store's file.
  bool LoadBytes(client::CXmlConfig& store, const std::string& bytes) {
    vqtest::WriteFileBytes(path_, bytes);
    return store.Load(path_);
  }
  std::string FileBytes() const { return vqtest::ReadFileBytes(path_); }
  // What a fresh store reads from the file.
  std::optional<client::user_info_list> Reloaded() const {
    client::CXmlConfig fresh;
    if (!fresh.Load(path_)) return std::nullopt;
    return fresh.GetUserList();
  }

  vqtest::TempRoot root_;
  std::string folder_;
  std::string path_;
};

}  // namespace storetest
