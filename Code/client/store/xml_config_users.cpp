// The store's operations on saved connections, the current connection and
// the values under LOGININFO.
#include <initializer_list>
#include <utility>

#include "client/store/xml_config.h"
#include "client/store/xml_element.h"
#include "client/store/xml_text.h"
#include "support/log.h"
#include "support/secret_protection.h"

namespace client {
namespace {

bool AllXmlText(std::initializer_list<std::string_view> texts) {
  for (std::string_view text : texts) {
    if (!IsXmlText(text)) return false;
  }
  return true;
}

// The text a secret is stored as: empty when it is not to be remembered (or
// is empty), else sealed; nothing when sealing failed (the caller then
// leaves the element as it is).
std::optional<std::string> StoredSecret(const std::string& alias, const std::string& plain,
                                        const std::string& remember) {
  if (remember != "1" || plain.empty()) return std::string();
  std::string sealed;
  if (ProtectPassword(plain, sealed)) return sealed;
  LogPrint(LOG_ERR, "CXmlConfig: the secret of %s could not be protected\n", alias);
  return std::nullopt;
}

void SetChildText(pugi::xml_node parent, const char* name, std::string_view text) {
  if (pugi::xml_node child = parent.child(name)) SetElementText(child, text);
}

void SetChildSecret(pugi::xml_node parent, const char* name, const std::optional<std::string>& sealed) {
  if (sealed) SetChildText(parent, name, *sealed);
}

}  // namespace

// Takes a copy of the document; unless Keep is called, puts it back.
class CXmlConfig::DocumentChange {
 public:
  explicit DocumentChange(pugi::xml_document& document) : document_(document) {
    before_.reset(document);
  }
  ~DocumentChange() {
    if (!kept_) document_.reset(before_);
  }
  DocumentChange(const DocumentChange&) = delete;
  DocumentChange& operator=(const DocumentChange&) = delete;
  void Keep() { kept_ = true; }

 private:
  pugi::xml_document& document_;
  pugi::xml_document before_;
  bool kept_ = false;
};

bool CXmlConfig::Commit(DocumentChange& change) {
  if (!SaveLocked(path_)) return false;
  change.Keep();
  return true;
}

std::vector<pugi::xml_node> CXmlConfig::FindUserNodes(std::string_view alias) const {
  std::vector<pugi::xml_node> nodes;
  // A USER without an alias belongs to no connection.
  if (alias.empty()) return nodes;
  for (const pugi::xpath_node& found : document_.select_nodes(XPathText(XmlConfigXPath::User))) {
    const pugi::xml_node id = found.node().child("ALIASID");
    if (id && ElementText(id) == alias) nodes.push_back(found.node());
  }
  return nodes;
}

pugi::xml_node CXmlConfig::FindUserNode(const user_info& record) const {
  const std::vector<pugi::xml_node> nodes = FindUserNodes(record.ALIASID);
  return nodes.empty() ? pugi::xml_node() : nodes.front();
}

std::optional<user_info_list> CXmlConfig::GetUserList() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_;
}

std::optional<user_info> CXmlConfig::FindUser(std::string_view alias) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!list_) return std::nullopt;
  const user_info* entry = list_->FindByAlias(alias);
  return entry ? std::optional<user_info>(*entry) : std::nullopt;
}

std::optional<user_info> CXmlConfig::FindByLogin(std::string_view login) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!list_) return std::nullopt;
  const user_info* entry = list_->FindByLogin(login);
  return entry ? std::optional<user_info>(*entry) : std::nullopt;
}

std::optional<user_info> CXmlConfig::GetCurrentUser() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

bool CXmlConfig::AddListEntry(const user_info& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_ && list_->Add(record);
}

bool CXmlConfig::RemoveListEntry(const user_info& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!list_ || !list_->Contains(record)) return false;
  list_->Remove(record);
  return true;
}

bool CXmlConfig::CopyToListEntry(const user_info& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  user_info* entry = list_ ? list_->FindByAlias(record.ALIASID) : nullptr;
  if (!entry) return false;
  CopyUserInfo(*entry, record);
  return true;
}

bool CXmlConfig::CopyToCurrentUser(const user_info& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current_) return false;
  CopyUserInfo(*current_, record);
  return true;
}

std::optional<std::string> CXmlConfig::GetAutoLogin() const {
  return GetNodeText(XmlConfigXPath::AutoLogin);
}

bool CXmlConfig::SetValueLocked(XmlConfigXPath xpath, std::string_view text) {
  if (!created_ || !IsXmlText(text)) return false;
  const pugi::xml_node node = Select(xpath);
  if (!node) return false;
  DocumentChange change(document_);
  SetElementText(node, text);
  return Commit(change);
}

bool CXmlConfig::SetAutoLogin(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  return SetValueLocked(XmlConfigXPath::AutoLogin, text);
}

bool CXmlConfig::SetCurrentUser(std::string_view alias) {
  std::lock_guard<std::mutex> lock(mutex_);
  return SetValueLocked(XmlConfigXPath::CurrentUser, alias);
}

bool CXmlConfig::AddUser(const user_info& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  return AddUserLocked(record);
}

bool CXmlConfig::AddUserLocked(const user_info& record) {
  if (!created_) return false;
  if (record.NAME.empty() || record.HOST.empty() || record.ALIASID.empty()) return false;
  if (!AllXmlText({record.ALIASID, record.NAME, record.HOST, record.PORT, record.REMPASSWORD,
                   record.REMPINWORD, record.LOGINMODE, record.PROXDETECT})) {
    return false;
  }
  const pugi::xml_node users = Select(XmlConfigXPath::UserInfo);
  // A second USER of an alias would be ignored by every load.
  if (!users || !FindUserNodes(record.ALIASID).empty()) return false;

  DocumentChange change(document_);
  pugi::xml_node user = AppendElement(users, "USER");
  AppendElement(user, "ALIASID", record.ALIASID);
  AppendElement(user, "NAME", record.NAME);
  AppendElement(user, "HOST", record.HOST);
  AppendElement(user, "PORT", record.PORT);
  AppendElement(user, "PASSWORD",
                StoredSecret(record.ALIASID, record.PASSWORD, record.REMPASSWORD).value_or(""));
  AppendElement(user, "REMPASSWORD", record.REMPASSWORD);
  AppendElement(user, "USBKEY",
                StoredSecret(record.ALIASID, record.USBKEY, record.REMPINWORD).value_or(""));
  AppendElement(user, "REMPINWORD", record.REMPINWORD);
  AppendElement(user, "LOGINMODE", record.LOGINMODE);
  AppendElement(user, "PROXDETECT", record.PROXDETECT);
  return Commit(change);
}

bool CXmlConfig::SaveUser(const user_info& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!created_) return false;
  const pugi::xml_node user = FindUserNode(record);
  if (!user) return AddUserLocked(record);
  if (!AllXmlText({record.ALIASID, record.NAME, record.HOST, record.PORT, record.REMPASSWORD,
                   record.REMPINWORD, record.LOGINMODE, record.ISCURRENT, record.PROXDETECT})) {
    return false;
  }

  DocumentChange change(document_);
  SetChildText(user, "ALIASID", record.ALIASID);
  SetChildText(user, "NAME", record.NAME);
  SetChildText(user, "HOST", record.HOST);
  SetChildText(user, "PORT", record.PORT);
  SetChildSecret(user, "PASSWORD", StoredSecret(record.ALIASID, record.PASSWORD, record.REMPASSWORD));
  SetChildText(user, "REMPASSWORD", record.REMPASSWORD);
  SetChildSecret(user, "USBKEY", StoredSecret(record.ALIASID, record.USBKEY, record.REMPINWORD));
  SetChildText(user, "REMPINWORD", record.REMPINWORD);
  SetChildText(user, "LOGINMODE", record.LOGINMODE);
  SetChildText(user, "ISCURRENT", record.ISCURRENT);
  SetChildText(user, "PROXDETECT", record.PROXDETECT);
  return Commit(change);
}

bool CXmlConfig::SaveUserField(const user_info& record, std::string_view element) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!created_) return false;
  const pugi::xml_node user = FindUserNode(record);
  if (!user) return AddUserLocked(record);

  struct Field {
    const char* name;
    const std::string& value;
    const std::string* remember;  // set for a secret
  };
  const Field fields[] = {
      {"NAME", record.NAME, nullptr},         {"HOST", record.HOST, nullptr},
      {"PORT", record.PORT, nullptr},         {"PASSWORD", record.PASSWORD, &record.REMPASSWORD},
      {"USBKEY", record.USBKEY, &record.REMPINWORD}, {"LOGINMODE", record.LOGINMODE, nullptr},
      {"ISCURRENT", record.ISCURRENT, nullptr},
  };
  for (const Field& field : fields) {
    if (element != field.name) continue;
    const pugi::xml_node child = user.child(field.name);
    if (!child) return false;
    std::optional<std::string> text = field.value;
    if (field.remember) {
      text = StoredSecret(record.ALIASID, field.value, *field.remember);
    } else if (!IsXmlText(field.value)) {
      return false;
    }
    DocumentChange change(document_);
    if (text) SetElementText(child, *text);
    return Commit(change);
  }
  return false;
}

bool CXmlConfig::SetUserPassword(const user_info& record, std::string_view password) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!created_) return false;
  const pugi::xml_node user = FindUserNode(record);
  const pugi::xml_node child = user.child("PASSWORD");
  if (!child) return false;
  {
    DocumentChange change(document_);
    if (const auto sealed = StoredSecret(record.ALIASID, std::string(password), record.REMPASSWORD)) {
      SetElementText(child, *sealed);
    }
    if (!Commit(change)) return false;
  }
  // The list and the current record are rebuilt from what the file holds now.
  return LoadLocked(path_);
}

bool CXmlConfig::DeleteUser(const user_info& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!created_) return false;
  // Every USER of the alias: one left behind would bring the connection
  // back at the next load.
  const std::vector<pugi::xml_node> users = FindUserNodes(record.ALIASID);
  if (users.empty()) return false;
  DocumentChange change(document_);
  for (pugi::xml_node user : users) user.parent().remove_child(user);
  return Commit(change);
}

int CXmlConfig::GetCurrentProxServers(std::vector<std::string>& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current_) return -1;
  out.insert(out.end(), current_->PROXSERVER.begin(), current_->PROXSERVER.end());
  return 0;
}

int CXmlConfig::SetProxServers(const std::vector<std::string>& addresses) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!created_ || !current_) return -1;
  for (const std::string& address : addresses) {
    if (!IsXmlText(address)) return -1;
  }
  user_info* entry = list_->FindByAlias(current_->ALIASID);
  if (!entry) return -1;
  current_->PROXSERVER = addresses;
  entry->PROXSERVER = addresses;

  pugi::xml_node user = FindUserNode(*current_);
  if (!user) return -1;
  DocumentChange change(document_);
  while (pugi::xml_node old = user.child("PROXSERVER")) user.remove_child(old);
  if (!addresses.empty()) {
    pugi::xml_node servers = AppendElement(user, "PROXSERVER");
    for (const std::string& address : addresses) AppendElement(servers, "IP", address);
  }
  return Commit(change) ? 0 : -1;
}

}  // namespace client
