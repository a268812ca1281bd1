#include "client/cert/cert_selector.h"

#include "platform/crypto/cert_store.h"
#include "platform/text/utf16.h"
#include "platform/win32/win32_error.h"

using platform::crypto::CertContextPtr;
using platform::crypto::CertStore;

void CertSelector::Clear() {
  entries.clear();
  chosen.reset();
}

int EnumStoreCertificates(CertSelector& selector, std::string_view storeName) {
  selector.Clear();
  CertStore store;
  if (CertStore::OpenSystem(storeName, store) != platform::ERROR_SUCCESS) return -2;
  for (const CertContextPtr& cert : store.certificates()) {
    if (!HasPrivateKey(*cert)) continue;
    CertSettings entry;
    // A certificate without a hash cannot be found again later: not listed.
    if (GetCertHashProperty(*cert, entry.CertFingerPrint, entry.CertFingerPrintLength) != 0) continue;
    entry.CertName = CutUtf8ToUnits(cert->SimpleDisplayName(), CERT_ENTRY_NAME_UNITS);
    entry.CSPName = cert->keyProvInfo()->providerName;
    selector.entries.push_back(std::move(entry));
  }
  return 0;
}
