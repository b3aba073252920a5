// Tests only: a devcloud process of our own on a free loopback port, with its
// test hooks, over HTTP or TLS with the CA it makes; stopped when it goes.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

#include "platform/foundation/value.h"

class DevCloudProcess {
public:
  explicit DevCloudProcess(bool tls);
  ~DevCloudProcess();
  DevCloudProcess(const DevCloudProcess&) = delete;
  DevCloudProcess& operator=(const DevCloudProcess&) = delete;

  bool started() const { return pid_ > 0 && !url_.empty(); }
  const std::string& url() const { return url_; }  // "http://127.0.0.1:PORT"
  std::string hostPort() const;                    // "127.0.0.1:PORT"
  std::string caPEM() const;                       // empty without TLS

  // A test hook: the JSON reply, or nothing when the hook did not answer 200.
  std::optional<plat::Value> hook(const std::string& method, const std::string& path,
                                  const std::optional<plat::Value>& body = std::nullopt);
  // The recorded requests after sequence `since`.
  plat::Array requests(int64_t since = 0);
  int64_t lastSeq();

  // JSON text of a value (the hooks take JSON bodies).
  static std::string json(const plat::Value& v);

private:
  pid_t pid_ = -1;
  std::string data_;
  std::string url_;
  std::string caPath_;
};
