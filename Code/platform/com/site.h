// How a control meets its container: the container hands the control a
// site (IObjectWithSite::SetSite) and the control asks the site for what
// the container offers, here the container's UI host, on which the
// control's boxes and dialogs are shown.
#pragma once

#include "platform/com/unknown.h"

namespace platform::ui {
class UiHost;
}

namespace platform::com {

class IObjectWithSite : public IUnknown {
 public:
  // site may be null (the control leaves its container); the control keeps
  // a reference to it until then.
  virtual HRESULT SetSite(IUnknown* site) = 0;
  virtual HRESULT GetSite(const IID& iid, void** out) = 0;

 protected:
  ~IObjectWithSite() = default;
};

class IUiSite : public IUnknown {
 public:
  // The container's host; it outlives the site.
  virtual ui::UiHost* UiHost() = 0;

 protected:
  ~IUiSite() = default;
};

}  // namespace platform::com
