// The registry tool, started where the system starts "regedit":
//
//   vqregedit [/s] FILE [KEY]   import FILE (/s: silent, the only way it
//                               runs; a KEY after it is ignored, as the
//                               system's restore step passes one)
//   vqregedit /e FILE [KEY]     export KEY (default: both hives) as
//                               Windows Registry Editor 5.00 text
//   vqregedit /a FILE [KEY]     the same as REGEDIT4 text
//
// Options also take '-' and any case. Exit status 0 on success, 1 on a
// failure (reported on standard error), 2 for a bad command line.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tools/vqregedit/reg_file.h"

namespace {

int Usage() {
  std::fputs("usage: vqregedit [/s] FILE [KEY] | /e FILE [KEY] | /a FILE [KEY]\n", stderr);
  return 2;
}

bool IsOption(std::string_view arg, char letter) {
  return arg.size() == 2 && (arg[0] == '/' || arg[0] == '-') &&
         (arg[1] == letter || arg[1] == letter - 'a' + 'A');
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();

  if (IsOption(args[0], 'e') || IsOption(args[0], 'a')) {
    if (args.size() < 2 || args.size() > 3) return Usage();
    const auto format = IsOption(args[0], 'e') ? regfile::Format::Regedit5 : regfile::Format::Regedit4;
    const std::string_view key = args.size() == 3 ? args[2] : std::string_view();
    std::string message;
    if (regfile::ExportFile(std::string(args[1]), key, format, &message) != 0) {
      std::fprintf(stderr, "vqregedit: cannot export to %s: %s\n", argv[2], message.c_str());
      return 1;
    }
    return 0;
  }

  size_t index = 0;
  if (IsOption(args[0], 's')) ++index;
  if (index + 1 != args.size() && index + 2 != args.size()) return Usage();
  const std::string path(args[index]);
  std::string message;
  if (regfile::ImportFile(path, &message) != 0) {
    std::fprintf(stderr, "vqregedit: cannot import %s: %s\n", path.c_str(), message.c_str());
    return 1;
  }
  return 0;
}
