// ProcessBrindlewayCommand: what the client does with each report of the
// tunnel service, and the reply it writes back. One report at a time, in
// the order they were accepted (the report pipe's dispatcher thread).
//
// It never waits for the UI thread: boxes, balloons, menu items and dialogs
// are posted; what it answers from (status, flags, the pending profile's
// proximity choice, the preferred list) is readable from any thread.
// Fields are read at fixed positions, so a report shorter than its type
// needs (6: 2 bytes; 7, 8, 10: 5; 6/1: 10) gets [type] and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "client/app/report_state.h"
#include "support/report_pipe.h"

namespace client {

class ClientApp;

// Longest whole reports of the text sub-codes.
inline constexpr size_t kMaxUrlReport = 260;
inline constexpr size_t kMaxUrlTitleReport = 128;
inline constexpr size_t kMaxServerTextReport = 260;
// The credential is kept for a 256-byte field with its terminator.
inline constexpr size_t kMaxCredentialReport = 257;
inline constexpr size_t kMaxEnglishTitle = 127;

// The string entries of the host-check balloon.
inline constexpr uint32_t IDS_HOST_CHECK_BALLOON_TITLE = 611;
inline constexpr uint32_t IDS_HOST_CHECK_BALLOON_TEXT = 612;
inline constexpr int kHostCheckTrayIcon = 102;

// The menu title text "...en=$<English>&...zh=$<Chinese, UTF-8>": the
// English part between "en=$" and the first "&" (1 to 127 bytes, else
// left empty) and the Chinese part after "zh=$" in the ANSI code page.
// -1 when "en=$", "&" or "zh=$" is missing.
int ParseUrlTitle(std::string_view text, ReportState::PortalTitles& titles);

// The reply to one report (never empty for a non-empty report).
std::vector<uint8_t> ProcessBrindlewayCommand(ClientApp& app, const std::vector<uint8_t>& request);

}  // namespace client
