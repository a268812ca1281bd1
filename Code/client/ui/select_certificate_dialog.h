// Select Certificate (dialog 129): the user picks the client certificate of
// the USB-key login from the "MY" store, or ticks "Use Default Certificate"
// to let the USB key's provider decide.
//
//   open    the stored choice (ReadCertSettings) and the list filled from
//           the store; a stored IsUseDefaultCert 1 ticks 10003 and greys
//           10001 and 10002, else the entry of the stored fingerprint is
//           selected
//   10002   "Update" fills the list again
//   10003   ticked greys the list and "Update", cleared brings them back
//   OK      the selected entry (if any) and the tick; Cancel: nothing
#pragma once

#include <functional>
#include <memory>

#include "client/cert/cert_selector.h"
#include "platform/ui/dialog.h"

inline constexpr int IDD_SELECT_CERTIFICATE = 129;
inline constexpr int IDC_CERT_LIST = 10001;
inline constexpr int IDC_CERT_UPDATE = 10002;
inline constexpr int IDC_USE_DEFAULT_CERT = 10003;

const platform::ui::DialogTemplate& SelectCertificateTemplate();

class SelectCertificateLogic : public platform::ui::DialogLogic {
 public:
  explicit SelectCertificateLogic(std::shared_ptr<CertSelector> selector) : selector_(std::move(selector)) {}
  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;

 private:
  // Entries and list box anew from the store; empty when that fails.
  void Fill(platform::ui::Dialog& d);
  void GreyList(platform::ui::Dialog& d, bool ticked);

  std::shared_ptr<CertSelector> selector_;
};

// Called once the dialog has ended: 0 and the new settings after OK (a
// zero record with the chosen entry copied in whole, when there is one,
// and IsUseDefaultCert from the tick); -2 and a zero record after Cancel,
// when the caller's settings stay as they are.
using SelectCertificateDone = std::function<void(int result, const CertSettings& settings)>;

// Opens dialog 129 modal to owner (may be null). False when the host
// opens nothing (it is shutting down); onDone is not called then.
bool SelectCertificate(platform::ui::UiHost& host, platform::ui::Dialog* owner, SelectCertificateDone onDone);
