// vqstore: the client application's saved connections, for trying the store
// by hand (the file of the user it runs as, below VQ_ROOT when set).
//
//   vqstore dump                                 every connection, no secrets
//   vqstore add ALIAS USER HOST PORT [PASSWORD]  save a connection (the
//                                                password remembered when given)
//   vqstore delete ALIAS                         remove a connection
//
// Exit status: 0 done, 1 the store refused or failed, 2 usage.
#include <cstdio>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "client/store/process_store.h"
#include "client/store/xml_element.h"
#include "platform/fd_io.h"
#include "support/secret_protection.h"

namespace {

using namespace client;

int Usage() {
  std::fputs(
      "usage: vqstore dump\n"
      "       vqstore add ALIAS USER HOST PORT [PASSWORD]\n"
      "       vqstore delete ALIAS\n",
      stderr);
  return 2;
}

// "none" for an empty element, else whether it opens for this user. Read
// from the file itself: the store hands out only what opened.
std::string SecretState(const pugi::xml_document& file, const std::string& alias, const char* name) {
  for (const pugi::xpath_node& found : file.select_nodes(XPathText(XmlConfigXPath::User))) {
    const pugi::xml_node user = found.node();
    if (ElementText(user.child("ALIASID")) != alias) continue;
    const std::string text = ElementText(user.child(name));
    if (text.empty()) return "none";
    std::string plain;
    return UnprotectPassword(text, plain) ? "yes" : "no";
  }
  return "none";
}

int Dump() {
  const std::string path = XmlConfigPath();
  std::printf("file: %s\n", path.c_str());
  const auto list = g_xmlConfig.GetUserList();
  const auto current = g_xmlConfig.GetCurrentUser();
  std::printf("current: %s\n", g_xmlConfig.GetNodeText(XmlConfigXPath::CurrentUser).value_or("(none)").c_str());
  std::printf("auto login: %s\n", g_xmlConfig.GetAutoLogin().value_or("(none)").c_str());
  if (!list || list->empty()) {
    std::printf("no saved connections\n");
    return 0;
  }
  std::string bytes;
  platform::ReadFileBytes(path, bytes);
  pugi::xml_document file;
  file.load_buffer(bytes.data(), bytes.size());
  for (const user_info& entry : *list) {
    std::printf("connection %s\n", entry.ALIASID.c_str());
    std::printf("  user: %s\n  host: %s\n  port: %s\n  login mode: %s\n", entry.NAME.c_str(),
                entry.HOST.c_str(), entry.PORT.c_str(), entry.LOGINMODE.c_str());
    std::printf("  remember password: %s\n  secret opens: %s\n", entry.REMPASSWORD.c_str(),
                SecretState(file, entry.ALIASID, "PASSWORD").c_str());
    std::printf("  remember pin: %s\n  pin opens: %s\n", entry.REMPINWORD.c_str(),
                SecretState(file, entry.ALIASID, "USBKEY").c_str());
    std::printf("  proximity detection: %s\n", entry.PROXDETECT.c_str());
    for (const std::string& server : entry.PROXSERVER) std::printf("  preferred gateway: %s\n", server.c_str());
  }
  return 0;
}

int Add(const std::vector<std::string>& args) {
  user_info record;
  record.ALIASID = args[0];
  record.NAME = args[1];
  record.HOST = args[2];
  record.PORT = args[3];
  record.LOGINMODE = "0";
  record.PROXDETECT = "0";
  record.REMPINWORD = "0";
  record.REMPASSWORD = args.size() > 4 ? "1" : "0";
  if (args.size() > 4) record.PASSWORD = args[4];
  if (!g_xmlConfig.AddUser(record)) {
    std::fprintf(stderr, "vqstore: %s was not saved (alias taken, a field empty or not storable, or the save failed)\n",
                 record.ALIASID.c_str());
    return 1;
  }
  return 0;
}

int Delete(const std::string& alias) {
  user_info record;
  record.ALIASID = alias;
  if (!g_xmlConfig.DeleteUser(record)) {
    std::fprintf(stderr, "vqstore: no connection %s, or the save failed\n", alias.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (!(command == "dump" && rest.empty()) && !(command == "add" && (rest.size() == 4 || rest.size() == 5)) &&
      !(command == "delete" && rest.size() == 1)) {
    return Usage();
  }
  if (LoadXmlConfig() != 0) {
    std::fprintf(stderr, "vqstore: %s does not load\n", XmlConfigPath().c_str());
    return 1;
  }
  if (command == "dump") return Dump();
  if (command == "add") return Add(rest);
  return Delete(rest[0]);
}
