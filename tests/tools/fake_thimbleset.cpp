// A stand-in updater. Its script and record live in $VQ_ROOT/fake_thimbleset/:
//   exit-check, exit-update  the exit code for that verb (default 4)
//   sleep-ms                 how long to sleep before answering (default 0)
//   installer                the path of a file copied into the current
//                            folder as the installer name (argv[3]) by
//                            "update", made executable
//   runs                     appended, one block a run: "run", "arg=..."
//                            per word (argv[0] too; CR, LF and backslash
//                            written \r \n \\), "cwd=...", "uid=...", "pid=...", "end"
// SIGTERM ends it with 4, as the updater does.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Folder() {
  const char* root = std::getenv("VQ_ROOT");
  return std::string(root != nullptr ? root : "") + "/fake_thimbleset/";
}

std::string Read(const std::string& name) {
  std::ifstream in(Folder() + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int Number(const std::string& name, int fallback) {
  const std::string text = Read(name);
  return text.empty() ? fallback : std::atoi(text.c_str());
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

void Record(int argc, char** argv) {
  std::string block = "run\n";
  for (int i = 0; i < argc; ++i) block += "arg=" + Escaped(argv[i]) + "\n";
  char cwd[4096] = {};
  if (::getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
  block += "cwd=" + std::string(cwd) + "\n";
  block += "uid=" + std::to_string(::getuid()) + "\n";
  block += "pid=" + std::to_string(::getpid()) + "\n";
  block += "end\n";
  const int fd = ::open((Folder() + "runs").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!::write(fd, block.data(), block.size());
  ::close(fd);
}

void PlaceInstaller(const std::string& name) {
  const std::string source = Read("installer");
  if (source.empty()) return;
  std::ifstream in(source, std::ios::binary);
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.close();
  ::chmod(name.c_str(), 0755);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGTERM, [](int) { ::_exit(4); });
  Record(argc, argv);
  const int sleepMs = Number("sleep-ms", 0);
  if (sleepMs > 0) {
    timespec pause{sleepMs / 1000, (sleepMs % 1000) * 1000000L};
    while (::nanosleep(&pause, &pause) != 0) {
    }
  }
  if (argc < 2) return 4;
  const std::string verb = argv[1];
  if (verb == "check") return Number("exit-check", 4);
  if (verb == "update") {
    const int code = Number("exit-update", 4);
    if (code == 3 && argc > 3) PlaceInstaller(argv[3]);
    return code;
  }
  return 4;
}
