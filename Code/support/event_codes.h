// The one numeric space of event and error codes shared by the tunnel
// service and the client application, with the English text of each code
// (nullptr where the client application shows none).
#pragma once

#include <span>

struct EventCodeEntry {
  int code;
  const char* text;
};

std::span<const EventCodeEntry> EventCodeTable();
// The text of a code, or nullptr (no text, or not a code of the table).
const char* EventCodeText(int code);
bool IsKnownEventCode(int code);
