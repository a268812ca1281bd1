// The store's file: loading, creating the default document, reading the
// connections, saving, and the element texts under LOGININFO.
#include "client/store/xml_config.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "client/store/xml_element.h"
#include "client/store/xml_text.h"
#include "platform/fd_io.h"
#include "platform/replacement_file.h"
#include "support/log.h"
#include "support/secret_protection.h"

namespace client {
namespace {

constexpr unsigned kFileMode = 0600;

// Whitespace between elements is dropped; an element holding only blanks
// keeps them (a value may be blanks).
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_ws_pcdata_single;
constexpr unsigned kSaveOptions = pugi::format_indent | pugi::format_no_empty_element_tags;

class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override {
    text.append(static_cast<const char*>(data), size);
  }
  std::string text;
};

// The declaration every saved file begins with, whatever a loaded one had.
void PutDeclaration(pugi::xml_document& document) {
  for (pugi::xml_node decl = document.first_child(); decl && decl.type() == pugi::node_declaration;
       decl = document.first_child()) {
    document.remove_child(decl);
  }
  pugi::xml_node decl = document.prepend_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "utf-8";
}

std::string ChildText(pugi::xml_node parent, const char* name) {
  pugi::xml_node child = parent.child(name);
  return child ? ElementText(child) : std::string();
}

}  // namespace

const char* XPathText(XmlConfigXPath xpath) {
  switch (xpath) {
    case XmlConfigXPath::KovConfig:
      return "/KOVCONFIG";
    case XmlConfigXPath::LoginInfo:
      return "/KOVCONFIG/LOGININFO";
    case XmlConfigXPath::UserInfo:
      return "/KOVCONFIG/LOGININFO/USERINFO";
    case XmlConfigXPath::User:
      return "/KOVCONFIG/LOGININFO/USERINFO/USER";
    case XmlConfigXPath::CurrentUser:
      return "/KOVCONFIG/LOGININFO/CURRENTUSER";
    case XmlConfigXPath::AutoLogin:
      return "/KOVCONFIG/LOGININFO/AUTOLOGIN";
  }
  return "/KOVCONFIG";
}

bool CXmlConfig::Load(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return LoadLocked(path);
}

bool CXmlConfig::LoadLocked(const std::string& path) {
  pugi::xml_document document;
  std::string bytes;
  const int err = platform::ReadFileBytes(path, bytes);
  if (err == ENOENT) {
    if (!CreateDefaultFile(document, path, 1)) return false;
  } else if (err != 0) {
    // Unreadable is not damaged: the connections may come back once the
    // fault is gone, so nothing is replaced.
    LogPrint(LOG_ERR, "CXmlConfig::Load cannot read (%s): %s\n", std::strerror(err), path);
    return false;
  } else if (const pugi::xml_parse_result parsed =
                 document.load_buffer(bytes.data(), bytes.size(), kParseOptions, pugi::encoding_auto);
             !parsed) {
    const std::string bad = path + kXmlConfigBadSuffix;
    std::error_code ec;
    std::filesystem::rename(path, bad, ec);
    if (ec) {
      LogPrint(LOG_ERR, "CXmlConfig::Load cannot move the damaged file aside (%s): %s\n", ec.message(), path);
      return false;
    }
    // The path goes last: a long one is cut at the end of the log line.
    LogPrint(LOG_ERR, "CXmlConfig::Load not well-formed (%s at byte %d), moved to %s: %s\n",
             parsed.description(), static_cast<long long>(parsed.offset), kXmlConfigBadSuffix, path);
    if (!CreateDefaultFile(document, path, 1)) return false;
  } else {
    PutDeclaration(document);
  }

  user_info_list list;
  ReadUsers(document, list);
  document_ = std::move(document);
  path_ = path;
  created_ = true;
  list_ = std::move(list);
  LoadCurrentUser();
  return true;
}

bool CXmlConfig::CreateDefaultFile(pugi::xml_document& document, const std::string& path,
                                   int version) {
  document.reset();
  PutDeclaration(document);
  pugi::xml_node root = document.append_child("KOVCONFIG");
  if (!root) return false;
  if (version == 1) AppendElement(root, "CONFIGVERS", kXmlConfigVersion1);
  // The login section goes into the same first save: a file is never left
  // without it.
  CreateLoginInfo(document);
  return SaveDocument(document, path);
}

void CXmlConfig::CreateLoginInfo(pugi::xml_document& document) {
  pugi::xml_node root = document.select_node(XPathText(XmlConfigXPath::KovConfig)).node();
  if (!root) return;
  pugi::xml_node login = AppendElement(root, "LOGININFO");
  AppendElement(login, "USERINFO");
  AppendElement(login, "CURRENTUSER");
  AppendElement(login, "AUTOLOGIN");
}

void CXmlConfig::ReadUsers(const pugi::xml_document& document, user_info_list& list) {
  for (const pugi::xpath_node& found : document.select_nodes(XPathText(XmlConfigXPath::User))) {
    const pugi::xml_node user = found.node();
    user_info record;
    record.ALIASID = ChildText(user, "ALIASID");
    if (record.ALIASID.empty()) continue;
    record.NAME = ChildText(user, "NAME");
    record.HOST = ChildText(user, "HOST");
    record.PORT = ChildText(user, "PORT");
    record.REMPASSWORD = ChildText(user, "REMPASSWORD");
    record.REMPINWORD = ChildText(user, "REMPINWORD");
    record.PROXDETECT = ChildText(user, "PROXDETECT");
    // A secret that does not open (another user's, damaged) reads as empty.
    if (!UnprotectPassword(ChildText(user, "PASSWORD"), record.PASSWORD)) record.PASSWORD.clear();
    if (!UnprotectPassword(ChildText(user, "USBKEY"), record.USBKEY)) record.USBKEY.clear();
    if (pugi::xml_node mode = user.child("LOGINMODE")) {
      // An element left empty means the password login.
      std::string text = ElementText(mode);
      record.LOGINMODE = text.empty() ? std::string("0") : std::move(text);
    }
    if (pugi::xml_node servers = user.child("PROXSERVER")) {
      for (pugi::xml_node ip : servers.children("IP")) record.PROXSERVER.push_back(ElementText(ip));
    }
    // A second USER of an alias is not taken: the first one holds.
    list.Add(record);
  }
}

void CXmlConfig::LoadCurrentUser() {
  if (!current_) current_.emplace();
  const pugi::xml_node node = Select(XmlConfigXPath::CurrentUser);
  if (!node) return;
  if (const user_info* entry = list_->FindByAlias(ElementText(node))) CopyUserInfo(*current_, *entry);
}

bool CXmlConfig::Save(const std::optional<std::string>& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!created_) return false;
  return SaveLocked(path.value_or(path_));
}

bool CXmlConfig::SaveLocked(const std::string& path) const { return SaveDocument(document_, path); }

bool CXmlConfig::SaveDocument(const pugi::xml_document& document, const std::string& path) {
  StringWriter writer;
  document.save(writer, "\t", kSaveOptions, pugi::encoding_utf8);
  platform::ReplacementFile file;
  uint32_t err = file.Open(path);
  if (err == 0) err = file.SetMode(kFileMode);
  if (err == 0) err = file.Write(writer.text);
  if (err == 0) err = file.Commit();
  if (err != 0) {
    LogPrint(LOG_ERR, "CXmlConfig::Save failed, error %u: %s\n", err, path);
    return false;
  }
  return true;
}

pugi::xml_node CXmlConfig::Select(XmlConfigXPath xpath) const {
  return document_.select_node(XPathText(xpath)).node();
}

std::optional<std::string> CXmlConfig::GetNodeText(XmlConfigXPath xpath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!created_) return std::nullopt;
  const pugi::xml_node node = Select(xpath);
  if (!node) return std::nullopt;
  return ElementText(node);
}

bool CXmlConfig::SetNodeText(XmlConfigXPath xpath, std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!created_ || !IsXmlText(text)) return false;
  const pugi::xml_node node = Select(xpath);
  if (!node) return false;
  SetElementText(node, text);
  return true;
}

bool CXmlConfig::IsLoaded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return created_;
}

std::string CXmlConfig::Path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

}  // namespace client
