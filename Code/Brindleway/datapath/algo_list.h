// The packet encapsulation's algorithm tables are singly linked lists of
// constant entries, each with a name and the next entry.
#pragma once

#include <cstring>

namespace brindleway {

// First entry from head on whose name equals name exactly, or null.
template <typename Algo>
const Algo* FindAlgoByName(const Algo* head, const char* name) {
  if (name == nullptr) return nullptr;
  for (const Algo* algo = head; algo != nullptr; algo = algo->next) {
    if (std::strcmp(algo->name, name) == 0) return algo;
  }
  return nullptr;
}

}  // namespace brindleway
