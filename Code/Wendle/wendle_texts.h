// The control's texts: English, or Chinese when the user's interface
// language is 2052, chosen in code as the control has no string tables.
#pragma once

#include <cstdint>
#include <string>

enum class WendleText {
  UsbKeyNotAvailable,
  CaptionMessage,
  DownloadClientFailed,
  NotInitialized,
  InvalidParameters,
  NoHomeDirectory,
  CreateProcessFailedLog,
  CreateProcessFailedBox,  // a format with the error code
  MemoryAllocateError,
  CaptionError,
  PinCaption,
  PinLabel,
  PinOk,
  PinCancel,
  PinIncorrect,
  PinErrorCaption,
};

// The text in the given language (2052 Chinese, anything else English).
const char* WendleTextFor(WendleText id, uint16_t language);
// The text in the user's interface language.
const char* Text(WendleText id);

// Caption of the boxes that name none: the control's own name.
inline constexpr char WENDLE_BOX_CAPTION[] = "Wendle";
