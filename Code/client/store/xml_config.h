// The store of saved connections: one XML file per user ("OrlimbConfig.xml"),
// its parsed document, the list of connections read from it and the current
// connection record.
//
// File layout (element names exact; values are element texts, no attributes):
//   KOVCONFIG
//     CONFIGVERS "1.0"
//     LOGININFO
//       USERINFO
//         USER*   ALIASID NAME HOST PORT PASSWORD REMPASSWORD USBKEY
//                 REMPINWORD LOGINMODE PROXDETECT [ISCURRENT] [PROXSERVER: IP+]
//       CURRENTUSER   alias of the current connection
//       AUTOLOGIN     "1" on
// PASSWORD and USBKEY hold sealed secrets (support/secret_protection.h);
// each is written only while its REMPASSWORD / REMPINWORD is "1", else empty.
// The file is written an element a line, a tab a level, LF line ends; readers
// ignore that whitespace.
//
// Road of a changing operation:
//   1. the store's lock is taken and held to the end, so the dialogs, the
//      pipe threads and the preferred-gateway thread never interleave;
//   2. text the file could not hold (see xml_text.h) is refused;
//   3. the document is changed in memory;
//   4. it is saved once: a temporary file beside the file, synced, renamed
//      over it (mode 0600);
//   5. a failed save puts the document back as it was and reports failure.
//
// Every operation fails (false, -1 or nothing) while the store is not
// loaded. Records and lists are handed out as copies: a reload frees nothing
// a caller holds. Aliases compare exactly (case matters).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "client/store/user_info.h"
#include "client/store/user_info_list.h"

namespace client {

inline constexpr char kXmlConfigFileName[] = "OrlimbConfig.xml";
// Where a file that is not well-formed goes before the default replaces it.
inline constexpr char kXmlConfigBadSuffix[] = ".bad";
inline constexpr char kXmlConfigVersion1[] = "1.0";

// The only expressions the store selects elements with.
enum class XmlConfigXPath { KovConfig, LoginInfo, UserInfo, User, CurrentUser, AutoLogin };
const char* XPathText(XmlConfigXPath xpath);

class CXmlConfig {
 public:
  CXmlConfig() = default;
  CXmlConfig(const CXmlConfig&) = delete;
  CXmlConfig& operator=(const CXmlConfig&) = delete;

  // Loads the file at path, or creates the default file when there is none;
  // rebuilds the list and the current connection record. A file that cannot
  // be read (no right, an I/O error, a folder) is left alone and false is
  // returned; one that is not well-formed is renamed to path + ".bad"
  // (replacing an older one) and the default is written in its place. On
  // false the store keeps what it held.
  bool Load(const std::string& path);
  // The document to path, or to the store's own path. True when it was
  // written and renamed into place.
  bool Save(const std::optional<std::string>& path = std::nullopt);
  // The text of the first element the expression selects; nothing when none.
  std::optional<std::string> GetNodeText(XmlConfigXPath xpath) const;
  // Replaces that element's text (and anything in it); false when there is
  // none or the text cannot be stored. Does not save.
  bool SetNodeText(XmlConfigXPath xpath, std::string_view text);

  bool IsLoaded() const;
  // The loaded file's path ("" before the first load).
  std::string Path() const;

  // Copies of the list, an entry, the current connection record.
  std::optional<user_info_list> GetUserList() const;
  std::optional<user_info> FindUser(std::string_view alias) const;
  std::optional<user_info> FindByLogin(std::string_view login) const;
  std::optional<user_info> GetCurrentUser() const;

  // The list and the current record are changed only through these; the
  // file is not touched.
  bool AddListEntry(const user_info& record);        // false: alias taken
  bool RemoveListEntry(const user_info& record);     // false: no such alias
  bool CopyToListEntry(const user_info& record);     // onto the entry of its alias
  bool CopyToCurrentUser(const user_info& record);

  std::optional<std::string> GetAutoLogin() const;
  // These change the file and save it; false when the element they need is
  // missing, the text cannot be stored, or the save failed.
  bool SetAutoLogin(std::string_view text);
  bool SetCurrentUser(std::string_view alias);
  // Appends a USER; false too for an empty NAME, HOST or ALIASID, or an
  // alias the file already holds.
  bool AddUser(const user_info& record);
  // Rewrites the children the stored connection has (none is created), or
  // adds the connection when the alias is not stored.
  bool SaveUser(const user_info& record);
  // One of "NAME", "HOST", "PORT", "PASSWORD", "USBKEY", "LOGINMODE",
  // "ISCURRENT" (false for any other name, or a child the connection lacks);
  // adds the connection when the alias is not stored.
  bool SaveUserField(const user_info& record, std::string_view element);
  // Stores the password of the record's connection (empty unless the record
  // remembers it), saves and reloads.
  bool SetUserPassword(const user_info& record, std::string_view password);
  // Removes every USER of the record's alias; the list is left as it is.
  bool DeleteUser(const user_info& record);

  // Appends the current record's preferred gateways; -1 without one, else 0.
  int GetCurrentProxServers(std::vector<std::string>& out) const;
  // Replaces the preferred gateways of the current connection in the list,
  // the current record and the file; 0 or -1.
  int SetProxServers(const std::vector<std::string>& addresses);

 private:
  class DocumentChange;

  // The lock is held by the caller of each of these.
  bool LoadLocked(const std::string& path);
  bool SaveLocked(const std::string& path) const;
  static bool CreateDefaultFile(pugi::xml_document& document, const std::string& path, int version);
  static bool SaveDocument(const pugi::xml_document& document, const std::string& path);
  static void CreateLoginInfo(pugi::xml_document& document);
  static void ReadUsers(const pugi::xml_document& document, user_info_list& list);
  void LoadCurrentUser();
  pugi::xml_node Select(XmlConfigXPath xpath) const;
  pugi::xml_node FindUserNode(const user_info& record) const;
  std::vector<pugi::xml_node> FindUserNodes(std::string_view alias) const;
  bool AddUserLocked(const user_info& record);
  bool SetValueLocked(XmlConfigXPath xpath, std::string_view text);
  bool Commit(DocumentChange& change);

  mutable std::mutex mutex_;
  pugi::xml_document document_;
  std::string path_;
  bool created_ = false;
  std::optional<user_info> current_;
  std::optional<user_info_list> list_;
};

}  // namespace client
