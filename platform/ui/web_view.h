// A view showing one web page. The page reaches the application through a
// script object (`qvClient`) whose calls come to the script handler; the
// application calls the page's functions with values, never with text
// spliced into a script. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/value.h"

namespace plat {

// Why a page failed to load, numbered as the platform's URL errors.
enum WebLoadError : int {
  kWebLoadUnknown = -1,
  kWebLoadCancelled = -999,
  kWebLoadTimedOut = -1001,
  kWebLoadUnsupportedURL = -1002,
  kWebLoadCannotFindHost = -1003,
  kWebLoadCannotConnectToHost = -1004,
  kWebLoadConnectionLost = -1005,
  kWebLoadNotConnectedToInternet = -1009,
  kWebLoadBadServerResponse = -1011,
  kWebLoadFileDoesNotExist = -1100,
};

enum class ScriptDialog { kAlert, kConfirm, kBeforeUnload };

class WebView {
public:
  // A call of the page's script object: method name and arguments. The
  // answer goes back to the page, which awaits it.
  using ScriptHandler = std::function<Value(const std::string& method, const Array& args)>;

  virtual ~WebView() = default;
  virtual void load(const std::string& url) = 0;
  virtual void reload() = 0;
  // The address of the page in the top frame (the one being loaded once it
  // is committed).
  virtual std::string currentURL() const = 0;
  // While the script handler runs: the address of the document that made
  // the call, taken when its message arrived (the page then committed, not
  // one loading since nor a later address of the same document); otherwise
  // currentURL(). What a call may do is judged from this.
  virtual std::string callerURL() const = 0;
  virtual std::string title() const = 0;
  virtual void setUserAgent(const std::string& agent) = 0;
  virtual void setDrawsBackground(bool draws) = 0;
  // Calls the page's global function `name` with the arguments as values;
  // a page without that function ignores the call.
  virtual void callFunction(const std::string& name, const Array& args) = 0;
  virtual void setScriptHandler(ScriptHandler handler) = 0;
  // The top frame began loading an address.
  virtual void setLoadStarted(std::function<void(const std::string& url)> handler) = 0;
  // The page (top frame) finished loading the address.
  virtual void setLoadFinished(std::function<void(const std::string& url)> handler) = 0;
  // The page's title changed (it may come after the load finished).
  virtual void setTitleChanged(std::function<void(const std::string& title)> handler) = 0;
  // The top frame's load failed; `code` is a WebLoadError. A cancelled
  // load (another load replaced it) is not reported.
  virtual void setLoadFailed(std::function<void(const std::string& url, int code)> handler) = 0;
  // The page's alert, confirm or leave-page question; the answer of a
  // confirm (true: yes) goes back to the page. Without a handler a page's
  // dialogs answer no.
  virtual void setScriptDialogHandler(std::function<bool(ScriptDialog kind, const std::string& text)> handler) = 0;
  // The page asks for a new window: `view` (already loading the address)
  // is to be shown; false refuses. Without a handler pop-ups are refused.
  virtual void setPopupHandler(std::function<bool(std::shared_ptr<WebView> view)> handler) = 0;
};

}  // namespace plat
