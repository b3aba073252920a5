// What a request tells the outside world. Every method is optional: a
// receiver is called only for what respondsToSelector() admits. The default
// answer is yes for the plain notifications and no for the ones whose mere
// presence changes how the request behaves (a data receiver takes the body
// away from memory and file; a redirect receiver must confirm each redirect;
// an authentication receiver is asked for credentials): a delegate that
// implements one of those says so in its own respondsToSelector(). That
// answer may be asked for on the request's thread: it must not change while
// the request runs.
#pragma once

#include <cstdint>

#include "platform/foundation/value.h"
#include "platform/net/url.h"

class HCHTTPRequest;
class HCNetworkQueue;

enum class HCSelector {
  none,
  requestStarted,
  requestDidReceiveResponseHeaders,
  requestWillRedirectToURL,
  requestFinished,
  requestFailed,
  requestRedirected,
  requestDidReceiveData,
  authenticationNeededForRequest,
  proxyAuthenticationNeededForRequest,
  queueFinished,  // a network queue's last counted request has ended
};

class HCHTTPRequestDelegate {
public:
  virtual ~HCHTTPRequestDelegate() = default;

  virtual bool respondsToSelector(HCSelector selector) const {
    switch (selector) {
      case HCSelector::requestStarted:
      case HCSelector::requestDidReceiveResponseHeaders:
      case HCSelector::requestFinished:
      case HCSelector::requestFailed:
      case HCSelector::requestRedirected:
        return true;
      default:
        return false;
    }
  }

  virtual void requestStarted(HCHTTPRequest& /*request*/) {}
  virtual void requestDidReceiveResponseHeaders(HCHTTPRequest& /*request*/, const plat::Dictionary& /*headers*/) {}
  virtual void requestWillRedirectToURL(HCHTTPRequest& /*request*/, const plat::URL& /*url*/) {}
  virtual void requestFinished(HCHTTPRequest& /*request*/) {}
  virtual void requestFailed(HCHTTPRequest& /*request*/) {}
  virtual void requestRedirected(HCHTTPRequest& /*request*/) {}
  virtual void requestDidReceiveData(HCHTTPRequest& /*request*/, const plat::Data& /*data*/) {}
  virtual void authenticationNeededForRequest(HCHTTPRequest& /*request*/) {}
  virtual void proxyAuthenticationNeededForRequest(HCHTTPRequest& /*request*/) {}
  virtual void queueFinished(HCNetworkQueue& /*queue*/) {}
};

// Receivers of progress; set with setDownloadProgressDelegate() and
// setUploadProgressDelegate().
class HCProgressDelegate {
public:
  virtual ~HCProgressDelegate() = default;
  virtual bool respondsToSetMaxValue() const { return false; }
  virtual void setMaxValue(double /*value*/) {}
  // An indicator: shown fraction between 0 and 1.
  virtual bool respondsToSetDoubleValue() const { return false; }
  virtual void setDoubleValue(double /*value*/) {}
  virtual void requestDidReceiveBytes(HCHTTPRequest& /*request*/, long long /*bytes*/) {}
  virtual void requestDidSendBytes(HCHTTPRequest& /*request*/, long long /*bytes*/) {}
  virtual void requestIncrementDownloadSizeBy(HCHTTPRequest& /*request*/, long long /*newLength*/) {}
  virtual void requestIncrementUploadSizeBy(HCHTTPRequest& /*request*/, long long /*newLength*/) {}
};

// A queue that owns requests is told of their events as a delegate is, and
// of their progress.
class HCHTTPRequestQueue : public HCHTTPRequestDelegate, public HCProgressDelegate {};
