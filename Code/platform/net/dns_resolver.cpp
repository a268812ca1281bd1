#include "platform/net/dns_resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>

#include "platform/fd_io.h"
#include "platform/net/ipv4_text.h"
#include "platform/net/link.h"
#include "platform/paths/paths.h"
#include "platform/replacement_file.h"
#include "platform/service/service.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace platform::net {
namespace {

// ---- systemd-resolved -------------------------------------------------------

class ResolvectlResolver final : public DnsResolver {
 public:
  explicit ResolvectlResolver(ResolverQueryRunner runner) : run_(std::move(runner)) {}

  const char* Name() const override { return "systemd-resolved"; }

  // The link's servers alone would be asked no sooner than the LAN's: the
  // routing domain "~." and the default route make every name go to them
  // first, so names inside the tunnel resolve there and nowhere else.
  uint32_t SetDnsServers(const std::string& ifname, const std::vector<uint32_t>& servers) override {
    std::vector<std::string> argv = {"resolvectl", "dns", ifname};
    for (uint32_t s : servers) argv.push_back(DottedIpv4(s));
    if (const uint32_t err = Run(argv); err != 0) return err;
    if (const uint32_t err = Run({"resolvectl", "domain", ifname, "~."}); err != 0) return err;
    return Run({"resolvectl", "default-route", ifname, "yes"});
  }

  // Takes back the link's servers, routing domain and default route at once.
  uint32_t RevertDnsServers(const std::string& ifname) override { return Run({"resolvectl", "revert", ifname}); }

  uint32_t FlushCache() override { return Run({"resolvectl", "flush-caches"}); }

  uint32_t GetDnsServers(const std::string& ifname, std::vector<uint32_t>& servers) override {
    servers.clear();
    std::string output;
    if (const uint32_t err = Run({"resolvectl", "dns", ifname}, &output); err != 0) return err;
    servers = ParseResolvectlDns(output);
    return ERROR_SUCCESS;
  }

 private:
  uint32_t Run(const std::vector<std::string>& argv, std::string* output = nullptr) {
    const int status = run_(argv, output);
    if (status == 0) return ERROR_SUCCESS;
    return status < 0 ? ERROR_FILE_NOT_FOUND : ERROR_GEN_FAILURE;
  }

  ResolverQueryRunner run_;
};

// ---- resolv.conf -------------------------------------------------------------
//
// The backup records what the file was, so that taking the servers back
// restores it exactly:
//   "vqresolv file <mode octal>\n" then the file's bytes
//   "vqresolv link\n<target>\n" then the bytes read through the link
//   "vqresolv none\n"            no file at all
// A backup left by a run that ended without taking its servers back is kept:
// it is the true original.

constexpr std::string_view kOwnHeader = "# DNS servers of the tunnel; the previous file returns when it closes.\n";


std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Readers see the old or the new file, never a half-written one. 0 or a
// Win32 code.
uint32_t WriteReplacing(const std::string& path, std::string_view bytes, mode_t mode) {
  ReplacementFile file;
  if (const uint32_t err = file.Open(path)) return err;
  if (const uint32_t err = file.SetMode(mode)) return err;
  if (const uint32_t err = file.Write(bytes)) return err;
  return file.Commit();
}

int LinkReplacing(const std::string& path, const std::string& target) {
  const std::string temp = path + ".vqtmp";
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) return errno;
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return err;
  }
  return 0;
}

struct Backup {
  enum class Kind { File, Link, None } kind = Kind::None;
  mode_t mode = 0644;
  std::string target;
  std::string content;
};

std::string EncodeBackup(const Backup& b) {
  switch (b.kind) {
    case Backup::Kind::File: {
      char head[64];
      std::snprintf(head, sizeof head, "vqresolv file %o\n", static_cast<unsigned>(b.mode & 07777));
      return head + b.content;
    }
    case Backup::Kind::Link:
      return "vqresolv link\n" + b.target + "\n" + b.content;
    case Backup::Kind::None:
      break;
  }
  return "vqresolv none\n";
}

bool DecodeBackup(const std::string& bytes, Backup& b) {
  const size_t eol = bytes.find('\n');
  if (eol == std::string::npos) return false;
  const std::string head = bytes.substr(0, eol);
  std::string rest = bytes.substr(eol + 1);
  if (head == "vqresolv none") {
    b.kind = Backup::Kind::None;
    return true;
  }
  if (head == "vqresolv link") {
    const size_t end = rest.find('\n');
    if (end == std::string::npos || end == 0) return false;
    b.kind = Backup::Kind::Link;
    b.target = rest.substr(0, end);
    b.content = rest.substr(end + 1);
    return true;
  }
  unsigned mode = 0;
  char tail = 0;
  if (std::sscanf(head.c_str(), "vqresolv file %o%c", &mode, &tail) != 1 || mode > 07777) return false;
  b.kind = Backup::Kind::File;
  b.mode = static_cast<mode_t>(mode);
  b.content = std::move(rest);
  return true;
}

class ResolvConfResolver final : public DnsResolver {
 public:
  ResolvConfResolver(std::string file, std::string backup) : file_(std::move(file)), backup_(std::move(backup)) {}

  const char* Name() const override { return "resolv.conf"; }

  uint32_t SetDnsServers(const std::string& ifname, const std::vector<uint32_t>& servers) override {
    Backup original;
    if (uint32_t err = EnsureBackup(original); err != 0) return err;
    std::string text(kOwnHeader);
    std::string record;
    for (uint32_t s : servers) {
      text += "nameserver " + DottedIpv4(s) + "\n";
      record += DottedIpv4(s) + "\n";
    }
    text += original.content;
    if (!original.content.empty() && original.content.back() != '\n') text += '\n';
    if (!paths::CreateDirectories(Folder(file_))) return ERROR_PATH_NOT_FOUND;
    if (const uint32_t err = WriteReplacing(file_, text, 0644); err != 0) return err;
    // What the interface has, for those who show it; the file itself names
    // no interface.
    if (const std::string path = RecordPath(ifname); !path.empty() && paths::CreateDirectories(Folder(path)))
      WriteReplacing(path, record, 0644);
    return ERROR_SUCCESS;
  }

  uint32_t GetDnsServers(const std::string& ifname, std::vector<uint32_t>& servers) override {
    servers.clear();
    const std::string path = RecordPath(ifname);
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    std::string bytes;
    if (int err = ReadFileBytes(path, bytes); err != 0) return err == ENOENT ? ERROR_SUCCESS : Win32FromErrno(err);
    for (size_t at = 0; at < bytes.size();) {
      size_t eol = bytes.find('\n', at);
      if (eol == std::string::npos) eol = bytes.size();
      in_addr a{};
      if (::inet_pton(AF_INET, bytes.substr(at, eol - at).c_str(), &a) == 1) servers.push_back(a.s_addr);
      at = eol + 1;
    }
    return ERROR_SUCCESS;
  }

  uint32_t RevertDnsServers(const std::string& ifname) override {
    if (const std::string path = RecordPath(ifname); !path.empty()) ::unlink(path.c_str());
    std::string bytes;
    if (int err = ReadFileBytes(backup_, bytes); err != 0) return err == ENOENT ? ERROR_SUCCESS : Win32FromErrno(err);
    Backup original;
    if (!DecodeBackup(bytes, original)) return ERROR_INVALID_DATA;
    // Somebody else (a DHCP client, the administrator) wrote the file since:
    // theirs is newer than our backup, so it stays.
    std::string current;
    const bool ours = ReadFileBytes(file_, current) == 0 && current.starts_with(kOwnHeader);
    if (ours) {
      uint32_t err = ERROR_SUCCESS;
      switch (original.kind) {
        case Backup::Kind::File: err = WriteReplacing(file_, original.content, original.mode); break;
        case Backup::Kind::Link: err = Win32FromErrno(LinkReplacing(file_, original.target)); break;
        case Backup::Kind::None:
          if (::unlink(file_.c_str()) != 0 && errno != ENOENT) err = Win32FromErrno(errno);
          break;
      }
      if (err != ERROR_SUCCESS) return err;
    }
    ::unlink(backup_.c_str());
    return ERROR_SUCCESS;
  }

  uint32_t FlushCache() override { return ERROR_SUCCESS; }  // the C library keeps no cache

 private:
  uint32_t EnsureBackup(Backup& original) {
    std::string bytes;
    if (int err = ReadFileBytes(backup_, bytes); err != ENOENT) {
      if (err != 0) return Win32FromErrno(err);
      return DecodeBackup(bytes, original) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    }

    struct stat st{};
    if (::lstat(file_.c_str(), &st) != 0) {
      if (errno != ENOENT) return Win32FromErrno(errno);
      original.kind = Backup::Kind::None;
    } else if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = ::readlink(file_.c_str(), target, sizeof target - 1);
      if (n <= 0) return Win32FromErrno(errno);
      original.kind = Backup::Kind::Link;
      original.target.assign(target, static_cast<size_t>(n));
      if (original.target.find('\n') != std::string::npos) return ERROR_INVALID_DATA;
      ReadFileBytes(file_, original.content);  // a dangling link reads as empty
    } else {
      original.kind = Backup::Kind::File;
      original.mode = st.st_mode & 07777;
      if (int err = ReadFileBytes(file_, original.content); err != 0) return Win32FromErrno(err);
    }
    if (!paths::CreateDirectories(Folder(backup_))) return ERROR_PATH_NOT_FOUND;
    return WriteReplacing(backup_, EncodeBackup(original), 0600);
  }

  std::string RecordPath(const std::string& ifname) const {
    if (!IsInterfaceName(ifname)) return {};
    return Folder(backup_) + "/dns/" + ifname;
  }

  std::string file_;
  std::string backup_;
};

}  // namespace

bool ResolvedIsRunning() {
  return ::access((paths::Root() + "/run/systemd/resolve/io.systemd.Resolve").c_str(), F_OK) == 0;
}

std::unique_ptr<DnsResolver> MakeResolvectlResolver(ResolverCommandRunner runner) {
  return MakeResolvectlResolver([run = std::move(runner)](const std::vector<std::string>& argv, std::string* output) {
    if (output != nullptr) output->clear();
    return run(argv);
  });
}

std::unique_ptr<DnsResolver> MakeResolvectlResolver(ResolverQueryRunner runner) {
  return std::make_unique<ResolvectlResolver>(std::move(runner));
}

std::vector<uint32_t> ParseResolvectlDns(const std::string& output) {
  std::vector<uint32_t> servers;
  // The servers follow the link's name: "Link N (NAME): ...".
  const size_t colon = output.find("):");
  size_t at = colon == std::string::npos ? 0 : colon + 2;
  while (at < output.size()) {
    const size_t start = output.find_first_not_of(" \t\r\n", at);
    if (start == std::string::npos) break;
    size_t end = output.find_first_of(" \t\r\n", start);
    if (end == std::string::npos) end = output.size();
    std::string word = output.substr(start, end - start);
    // "ADDR:PORT", "ADDR%IFINDEX" and "ADDR#NAME" name the same server.
    word = word.substr(0, word.find_first_of(":%#"));
    in_addr a{};
    if (::inet_pton(AF_INET, word.c_str(), &a) == 1) servers.push_back(a.s_addr);
    at = end;
  }
  return servers;
}

std::string ResolvConfPath() { return paths::Root() + "/etc/resolv.conf"; }
std::string ResolvConfBackupPath() { return paths::RunDir() + "/resolv.conf.backup"; }

std::unique_ptr<DnsResolver> MakeResolvConfResolver(std::string resolvConf, std::string backup) {
  return std::make_unique<ResolvConfResolver>(std::move(resolvConf), std::move(backup));
}

std::unique_ptr<DnsResolver> OpenDnsResolver() {
  if (ResolvedIsRunning()) {
    return MakeResolvectlResolver(ResolverQueryRunner(
        [](const std::vector<std::string>& argv, std::string* output) { return service::RunCommand(argv, output); }));
  }
  return MakeResolvConfResolver(ResolvConfPath(), ResolvConfBackupPath());
}

}  // namespace platform::net
