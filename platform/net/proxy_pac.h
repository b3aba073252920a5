// Proxy auto-configuration scripts. A PAC script is untrusted code: it runs
// in an embedded JavaScript engine (duktape) on a thread of its own, never
// on a thread that serves streams, under a time limit that covers its
// host-name look-ups and regular expressions too (the engine is built with
// a check in its matcher); a script that overruns, fails or answers nothing
// usable gives no list (the caller goes direct). Every call into the engine
// is a protected one: nothing a script does ends the process. Answers are
// cached per script and what the script is given (URL argument and host); a
// script that ran out of time answers nothing at once afterwards. A script may be given as text or as a URL of a local
// file (read there, bounded in size).
//
// The evaluator's thread starts on first use and is stopped and joined
// when the process ends.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/net/proxy_settings.h"
#include "platform/net/url.h"

namespace plat {

// The entries a FindProxyForURL answer names, in order ("PROXY h:p; SOCKS h:p; DIRECT").
std::vector<ProxyEntry> parsePACAnswer(const std::string& answer, const URL& url);

// Runs the script for the URL on the calling thread, within `timeLimit`
// seconds of the process clock; nothing on an error or overrun.
std::optional<std::vector<ProxyEntry>> proxiesForAutoConfigurationScript(const std::string& script, const URL& url,
                                                                         double timeLimit, Error* error = nullptr);

// Host-name look-ups that scripts queued, and those answered before their
// script's deadline (tests: a look-up past the deadline is never queued).
unsigned long pacLookupsQueued();
unsigned long pacLookupsAnsweredInTime();

class PACEvaluator {
public:
  using Done = std::function<void(std::optional<std::vector<ProxyEntry>>)>;
  static PACEvaluator& shared();

  // Evaluates off the caller's thread; `done` runs on the evaluator's thread.
  void evaluate(std::string script, URL url, Done done);
  // The same for a script in a local file (a file: URL's path).
  void evaluateFile(std::string path, URL url, Done done);

  // Seconds a script may take for one URL (default 5).
  void setTimeLimit(double seconds);
  double timeLimit() const;
  void clearCache();
  size_t cacheSize() const;
  // Scripts actually run (not answered from the cache), for tests.
  unsigned long evaluations() const;

  struct Impl;

private:
  PACEvaluator();
  ~PACEvaluator();
  Impl* impl_;
};

}  // namespace plat
