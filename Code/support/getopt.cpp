#include "support/getopt.h"

#include <cstring>

namespace support {

int getopt(GetoptState& st, int argc, const char* const argv[], const char* optstring) {
  st.optarg = nullptr;
  if (st.optind == 0) {
    st.optind = 1;
    st.nextchar = 0;
  }
  if (st.nextchar == 0) {
    if (st.optind >= argc || argv[st.optind] == nullptr) return -1;
    const char* arg = argv[st.optind];
    if (arg[0] != '-' || arg[1] == '\0') return -1;
    if (std::strcmp(arg, "--") == 0) {
      ++st.optind;
      return -1;
    }
    st.nextchar = 1;
  }

  const char* arg = argv[st.optind];
  const char c = arg[st.nextchar++];
  st.optopt = static_cast<unsigned char>(c);
  const bool lastInGroup = arg[st.nextchar] == '\0';
  const char* option = (c == ':') ? nullptr : std::strchr(optstring, c);

  if (option == nullptr) {
    if (lastInGroup) {
      ++st.optind;
      st.nextchar = 0;
    }
    return '?';
  }
  if (option[1] != ':') {
    if (lastInGroup) {
      ++st.optind;
      st.nextchar = 0;
    }
    return c;
  }
  // Option with an argument: the rest of this word, or the next word.
  if (!lastInGroup) {
    st.optarg = arg + st.nextchar;
    ++st.optind;
  } else if (st.optind + 1 < argc && argv[st.optind + 1] != nullptr) {
    st.optarg = argv[st.optind + 1];
    st.optind += 2;
  } else {
    ++st.optind;
    st.nextchar = 0;
    return '?';
  }
  st.nextchar = 0;
  return c;
}

}  // namespace support
