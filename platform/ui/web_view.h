// A view showing one web page, with a script object through which the page
// calls the application, and page functions the application calls with
// values (never text spliced into a script). Main thread only.
#pragma once

#include <functional>
#include <string>

#include "platform/foundation/value.h"

namespace plat {

class WebView {
public:
  // A call of the page's script object: method name and arguments; the
  // answer goes back to the page.
  using ScriptHandler = std::function<Value(const std::string& method, const Array& args)>;

  virtual ~WebView() = default;
  virtual void load(const std::string& url) = 0;
  virtual std::string currentURL() const = 0;
  virtual void setUserAgent(const std::string& agent) = 0;
  virtual void callFunction(const std::string& name, const Array& args) = 0;
  virtual void setScriptHandler(ScriptHandler handler) = 0;
  // The page (top frame) finished loading the address.
  virtual void setLoadFinished(std::function<void(const std::string& url)> handler) = 0;
};

}  // namespace plat
