#include "client/ui/select_certificate_dialog.h"

#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/registry_helpers.h"

using namespace platform::ui;

const DialogTemplate& SelectCertificateTemplate() {
  static const DialogTemplate templ(
      IDD_SELECT_CERTIFICATE,
      {
          {.kind = ControlKind::Label, .row = 0, .col = 0, .colSpan = 3},
          {.id = IDC_CERT_LIST, .kind = ControlKind::ListBox, .row = 1, .col = 0, .colSpan = 3},
          {.id = IDC_USE_DEFAULT_CERT, .kind = ControlKind::CheckBox, .row = 2, .col = 0, .colSpan = 2},
          {.id = IDC_CERT_UPDATE, .kind = ControlKind::Button, .row = 2, .col = 2},
          {.id = IDOK, .kind = ControlKind::Button, .row = 3, .col = 1, .style = kDefaultButton},
          {.id = IDCANCEL, .kind = ControlKind::Button, .row = 3, .col = 2},
      });
  return templ;
}

void SelectCertificateLogic::OnInit(Dialog& d) {
  CertSettings stored;
  ReadCertSettings(stored, PRODUCT_SETTINGS_KEY);
  Fill(d);
  if (stored.IsUseDefaultCert == 1) {
    d.Check(IDC_USE_DEFAULT_CERT, true);
    GreyList(d, true);
    return;
  }
  d.Check(IDC_USE_DEFAULT_CERT, false);
  const std::span<const uint8_t> fingerprint(stored.CertFingerPrint.data(),
                                             std::min<size_t>(stored.CertFingerPrintLength, CERT_FINGERPRINT_BYTES));
  for (int i = 0; i < d.ItemCount(IDC_CERT_LIST); ++i) {
    const CertSettings& entry = selector_->entries.at(d.ItemData(IDC_CERT_LIST, i));
    if (CompareFingerPrint({entry.CertFingerPrint.data(), entry.CertFingerPrintLength}, fingerprint)) {
      d.SetSelection(IDC_CERT_LIST, i);
      break;
    }
  }
}

void SelectCertificateLogic::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_CERT_UPDATE:
      Fill(d);
      break;
    case IDC_USE_DEFAULT_CERT:
      GreyList(d, d.IsChecked(IDC_USE_DEFAULT_CERT));
      break;
    case IDOK: {
      const int selected = d.Selection(IDC_CERT_LIST);
      selector_->chosen.reset();
      if (selected >= 0) selector_->chosen = d.ItemData(IDC_CERT_LIST, selected);
      selector_->useDefault = d.IsChecked(IDC_USE_DEFAULT_CERT) ? 1 : 0;
      d.EndDialog(IDOK);
      break;
    }
    case IDCANCEL:
      selector_->chosen.reset();
      d.EndDialog(IDCANCEL);
      break;
    default:
      break;
  }
}

void SelectCertificateLogic::Fill(Dialog& d) {
  selector_->Clear();
  d.ClearItems(IDC_CERT_LIST);
  try {
    if (EnumStoreCertificates(*selector_, "MY") != 0) return;
    for (size_t i = 0; i < selector_->entries.size(); ++i) d.AddItem(IDC_CERT_LIST, selector_->entries[i].CertName, i);
  } catch (...) {
    LogPrint(LOG_ERR, "EnumStoreCertificates has exception\n");
    selector_->Clear();
    d.ClearItems(IDC_CERT_LIST);
  }
}

void SelectCertificateLogic::GreyList(Dialog& d, bool ticked) {
  d.Enable(IDC_CERT_LIST, !ticked);
  d.Enable(IDC_CERT_UPDATE, !ticked);
}

bool SelectCertificate(UiHost& host, Dialog* owner, SelectCertificateDone onDone) {
  auto selector = std::make_shared<CertSelector>();
  Dialog* d = host.OpenDialog(SelectCertificateTemplate(), owner, std::make_unique<SelectCertificateLogic>(selector),
                              Modality::Modal, [selector, onDone = std::move(onDone)](Dialog&, int result) {
                                if (result != IDOK) {
                                  if (onDone) onDone(-2, CertSettings{});
                                  return;
                                }
                                CertSettings settings;
                                if (selector->chosen && *selector->chosen < selector->entries.size())
                                  settings = selector->entries[*selector->chosen];
                                settings.IsUseDefaultCert = selector->useDefault;
                                if (onDone) onDone(0, settings);
                              });
  return d != nullptr;
}
