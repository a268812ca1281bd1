// The updater's own constants: its exit codes, its instance name, the words
// and defaults of its command line, and the requests' fixed texts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace thimbleset {

// The whole answer of a run is its exit code.
inline constexpr int EXIT_NOT_NEWER = 1;     // "check": the installer entry is not newer
inline constexpr int EXIT_NEWER = 2;         // "check": the installer entry is newer
inline constexpr int EXIT_UPDATED = 3;       // "update": every file replaced, OK pressed
inline constexpr int EXIT_FAILED = 4;        // anything else

// Results of the check.
inline constexpr int CHECK_NEWER = 2;
inline constexpr int CHECK_NOT_NEWER = 1;
inline constexpr int CHECK_NO_LIST = 0;      // the list was not obtained
inline constexpr int CHECK_UNEXPECTED = -1;  // an unexpected failure on the way

// One updater at a time.
inline constexpr char kInstanceMutex[] = "Global\\VardenlowThimbleset";

// Command line: the words after the program name.
inline constexpr size_t kMinWords = 5;
inline constexpr size_t kMaxWords = 6;
inline constexpr char kVerbCheck[] = "check";
inline constexpr char kVerbUpdate[] = "update";
inline constexpr char kModeCookie[] = "cookie";
inline constexpr char kModePassword[] = "password";
// The USB-key PIN is kept in a 128-byte buffer with its terminator.
inline constexpr size_t kMaxPinBytes = 127;

// How the password of the list URL is used.
enum class CredentialMode : uint32_t { Password = 1, Cookie = 2 };

// The downloaded list: a temporary file "XmlXXXXXX.tmp".
inline constexpr char kListTempPrefix[] = "Xml";
inline constexpr char kListTempSuffix[] = ".tmp";

// Requests of the list fetch; headers as the HTTP layer takes them.
inline constexpr char kLoginPath[] = "/login.html";
inline constexpr char kPortalUserAgent[] = "User-Agent: Vardenlow Marrowlantern/1.0";
inline constexpr char kLoginUserAgent[] = "User-Agent: Vardenlow Thimbleset/1.0";
inline constexpr char kLoginContentType[] = "Content-Type: application/x-www-form-urlencoded";
inline constexpr char kAcceptAny[] = "Accept: */*";
inline constexpr char kAcceptPlainList[] =
    "Accept: audio/x-aiff, audio/basic, audio/midi, audio/mpeg, audio/wav, image/jpeg, image/gif, image/jpg, "
    "image/png, image/mng, image/bmp, text/plain, text/html, text/htm";

// Values of an update list entry.
inline constexpr char kInstallCurrentDir[] = "CURRENTDIR";
inline constexpr char kInstallWindowsDir[] = "WINDOWSDIR";
inline constexpr char kInstallSystemDir[] = "SYSTEMDIR";
inline constexpr char kFlagYes[] = "YES";

// Kind of the download items the updater makes.
inline constexpr uint32_t DOWNLOAD_KIND_UPDATE = 2;

// A download's requests and where its bytes go first.
inline constexpr char kDownloadAccept[] = "Accept: */*";
inline constexpr char kDownloadUserAgent[] = "User-Agent: Vardenlow Thimbleset";
inline constexpr char kUpdateSuffix[] = ".update";
inline constexpr int kMaxRedirects = 5;
// A reported piece fits the low word of its message.
inline constexpr size_t kMaxPieceBytes = 16 * 1024;

// Reports of a download worker to the progress dialog (lParam: the item).
inline constexpr uint32_t WM_DOWNLOAD_PROGRESS = 1124;  // WM_USER+100: high word kind, low word bytes
inline constexpr uint32_t WM_DOWNLOAD_END = 1125;       // WM_USER+101: high word kind, low word code

// Result codes of a download.
inline constexpr int DOWNLOAD_DONE = 0;
inline constexpr int DOWNLOAD_BAD_URL = 1;        // "Unknown Internet service type"
inline constexpr int DOWNLOAD_SERVICE_DENY = 2;   // the HTTP layer failed
inline constexpr int DOWNLOAD_GET_FAILED = 6;     // the body ended short
inline constexpr int DOWNLOAD_CLOSED = 8;         // no local file, or cancelled
inline constexpr int DOWNLOAD_EMPTY_URL = 9;

}  // namespace thimbleset
