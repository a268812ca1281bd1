#include "updater/update_list.h"

#include <pugixml.hpp>

#include <climits>
#include <utility>
#include <vector>

#include "support/ascii_case.h"
#include "support/leading_int.h"
#include "updater/installer_version.h"

namespace thimbleset {
namespace {

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Walks without recursion: a list from the network may nest deeply.
class TextCollector : public pugi::xml_tree_walker {
 public:
  bool for_each(pugi::xml_node& node) override {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
    return true;
  }
  std::string text;
};

class FileCollector : public pugi::xml_tree_walker {
 public:
  bool for_each(pugi::xml_node& node) override {
    if (node.type() == pugi::node_element && std::string_view(node.name()) == "File") files.push_back(node);
    return true;
  }
  std::vector<pugi::xml_node> files;
};

// The element's text as the DOM gives it: every text below it, without the
// white space around it.
std::string NodeText(const pugi::xml_node& node) {
  TextCollector collector;
  pugi::xml_node walked = node;
  walked.traverse(collector);
  std::string& text = collector.text;
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsXmlSpace(text[begin])) ++begin;
  while (end > begin && IsXmlSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool IsYes(std::string_view text) { return AsciiEqualNoCase(text, kFlagYes); }

void ReadField(UpdateEntry& entry, std::string_view name, std::string value) {
  if (AsciiEqualNoCase(name, "FileName")) {
    entry.fileName = std::move(value);
  } else if (AsciiEqualNoCase(name, "FileVersion")) {
    entry.fileVersion = std::move(value);
  } else if (AsciiEqualNoCase(name, "ProductVersion")) {
    entry.productVersion = std::move(value);
  } else if (AsciiEqualNoCase(name, "Length")) {
    entry.length = LeadingInt32(value);
  } else if (AsciiEqualNoCase(name, "FileDateLow")) {
    entry.fileDateLow = LeadingInt32(value);
  } else if (AsciiEqualNoCase(name, "FileDateHigh")) {
    entry.fileDateHigh = LeadingInt32(value);
  } else if (AsciiEqualNoCase(name, "InstallDir")) {
    entry.installDir = std::move(value);
  } else if (AsciiEqualNoCase(name, "Register")) {
    entry.registerFile = IsYes(value);
  } else if (AsciiEqualNoCase(name, "ZipFile")) {
    entry.zipFile = IsYes(value);
  } else if (AsciiEqualNoCase(name, "ForceOverwrite")) {
    entry.forceOverwrite = IsYes(value);
  } else if (AsciiEqualNoCase(name, "Execute")) {
    entry.execute = IsYes(value);
  } else if (AsciiEqualNoCase(name, "ExecutePar")) {
    entry.executePar = std::move(value);
  } else if (AsciiEqualNoCase(name, "LocalPath")) {
    entry.localPath = std::move(value);
  } else if (AsciiEqualNoCase(name, "URL")) {
    entry.url = std::move(value);
  } else if (AsciiEqualNoCase(name, "UserName")) {
    entry.userName = std::move(value);
  } else if (AsciiEqualNoCase(name, "Password")) {
    entry.password = std::move(value);
  }
}

}  // namespace

UpdateList::UpdateList() : UpdateList(BaseFolders::OfThisProcess()) {}

UpdateList::UpdateList(BaseFolders folders) : folders_(std::move(folders)) {}

bool UpdateList::Load(const std::string& path) {
  std::lock_guard lock(mutex_);
  entries_.clear();
  pugi::xml_document document;
  // Without parse_doctype a DTD is skipped, and only the five predefined
  // entities and character references are ever expanded.
  const unsigned options = pugi::parse_default & ~pugi::parse_doctype;
  if (!document.load_file(path.c_str(), options)) return false;
  const pugi::xml_node root = document.document_element();
  if (!root) return false;

  // Every element named File below the document element, in document order.
  FileCollector collector;
  pugi::xml_node walked = root;
  walked.traverse(collector);
  std::deque<UpdateEntry> entries;
  for (const pugi::xml_node& file : collector.files) {
    UpdateEntry entry;
    for (const pugi::xml_node child : file.children())
      if (child.type() == pugi::node_element) ReadField(entry, child.name(), NodeText(child));
    std::optional<std::string> target = TargetPath(folders_, entry.installDir, entry.localPath, entry.fileName);
    if (!target) return false;
    entry.targetPath = std::move(*target);
    entries.push_back(std::move(entry));
  }
  entries_ = std::move(entries);
  return true;
}

bool UpdateList::TestVersion(std::string_view fileName, std::string_view productVersion) {
  std::lock_guard lock(mutex_);
  for (UpdateEntry& entry : entries_) {
    if (!AsciiEqualNoCase(entry.fileName, fileName)) continue;
    entry.newer = IsNewerVersion(entry.fileVersion, productVersion);
    return entry.newer;
  }
  return false;
}

int64_t UpdateList::InstallerLength(std::string_view fileName) {
  std::lock_guard lock(mutex_);
  int64_t length = 0;
  for (const UpdateEntry& entry : entries_)
    if (entry.newer && AsciiEqualNoCase(entry.fileName, fileName)) length = entry.length;
  return length;
}

std::optional<UpdateEntry> UpdateList::TakeFirst() {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) return std::nullopt;
  UpdateEntry first = std::move(entries_.front());
  entries_.pop_front();
  return first;
}

size_t UpdateList::Count() {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace thimbleset
