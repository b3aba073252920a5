// Tests only: what the download tests share: a loopback source that serves
// a file (or some of its blocks) with single byte ranges, a recording task
// and manager, and a main thread that is served while a test waits.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/sync/Syncdb.h"
#include "app/trans/Download.h"
#include "app/trans/PeerDownload.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"
#include "tests/support/test_http_server.h"

namespace dltest {

constexpr uint64_t MiB = 1048576;

inline std::string randomBytes(size_t n, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

inline std::vector<uint8_t> bitmap(int64_t blocks, const std::set<int64_t>& set) {
  std::vector<uint8_t> b(static_cast<size_t>((blocks + 7) / 8), 0);
  for (int64_t i : set) b[static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(1u << (i % 8));
  return b;
}

inline std::set<int64_t> blocksOf(const std::vector<uint8_t>& b) {
  std::set<int64_t> out;
  for (size_t i = 0; i < b.size() * 8; ++i) {
    if ((b[i / 8] >> (i % 8)) & 1u) out.insert(static_cast<int64_t>(i));
  }
  return out;
}

// Serves the main thread until `done`; the real-time bound only keeps a
// broken build from hanging.
inline bool pumpUntil(const std::function<bool()>& done, double bound = 60) {
  plat::SystemClock real;
  const double until = real.monotonic() + bound;
  while (!done()) {
    if (real.monotonic() > until) return false;
    plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.01, true);
  }
  return true;
}

// One file served by path: "/<name>" answers the blocks its holder has.
// A range must lie within the held blocks (else 416), as a LAN peer answers.
class RangeServer {
public:
  struct Holder {
    std::set<int64_t> blocks;  // empty: the whole file
  };

  explicit RangeServer(std::string content) : content_(std::move(content)) {
    server_.setHandler([this](const qvtest::RecordedRequest& r) { return answer(r); });
  }

  void hold(const std::string& name, std::set<int64_t> blocks = {}) {
    std::lock_guard l(mutex_);
    holders_[name] = Holder{std::move(blocks)};
  }
  // The next answers to this path, before the file itself.
  void script(const std::string& name, qvtest::ScriptedResponse response) {
    std::lock_guard l(mutex_);
    scripted_[name].push_back(std::move(response));
  }
  // The answer for paths nobody holds (500 otherwise).
  void setDefault(qvtest::ScriptedResponse response) {
    std::lock_guard l(mutex_);
    default_ = std::move(response);
  }
  // Paths nobody holds never answer: their sources stay running.
  void silenceOthers() {
    qvtest::ScriptedResponse silent;
    silent.silent = true;
    setDefault(silent);
  }
  std::string url(const std::string& name) const { return server_.url("/" + name); }
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(server_.port()); }
  // Range headers received on a path, in order.
  std::vector<std::string> ranges(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& r : server_.requests()) {
      if (r.target == "/" + name) out.push_back(r.header("Range").value_or(""));
    }
    return out;
  }
  const std::string& content() const { return content_; }

private:
  qvtest::ScriptedResponse answer(const qvtest::RecordedRequest& r) {
    std::lock_guard l(mutex_);
    const std::string name = r.target.substr(1);
    auto s = scripted_.find(name);
    if (s != scripted_.end() && !s->second.empty()) {
      auto resp = s->second.front();
      s->second.erase(s->second.begin());
      return resp;
    }
    auto h = holders_.find(name);
    if (h == holders_.end()) return default_;
    const auto range = r.header("Range");
    if (!range) {
      if (!h->second.blocks.empty()) return qvtest::ScriptedResponse::text(416, "");
      qvtest::ScriptedResponse resp;
      resp.body = content_;
      return resp;
    }
    unsigned long long a = 0, b = 0;
    if (std::sscanf(range->c_str(), "bytes=%llu-%llu", &a, &b) != 2 || b < a || b >= content_.size()) {
      return qvtest::ScriptedResponse::text(416, "");
    }
    for (uint64_t i = a / MiB; i <= b / MiB; ++i) {
      if (!h->second.blocks.empty() && !h->second.blocks.count(static_cast<int64_t>(i))) {
        return qvtest::ScriptedResponse::text(416, "");
      }
    }
    qvtest::ScriptedResponse resp;
    resp.status = 206;
    resp.reason = "Partial Content";
    resp.headers = {{"Content-Range", plat::format("bytes %llu-%llu/%llu", a, b,
                                                   static_cast<unsigned long long>(content_.size()))}};
    resp.body = content_.substr(a, b - a + 1);
    return resp;
  }

  std::string content_;
  mutable std::mutex mutex_;
  std::map<std::string, Holder> holders_;
  std::map<std::string, std::vector<qvtest::ScriptedResponse>> scripted_;
  qvtest::ScriptedResponse default_ = qvtest::ScriptedResponse::text(500, R"({"error_code":50000})");
  qvtest::TestHTTPServer server_;
};

// A download's side of a source, in memory.
class MemoryTask : public PeerDownload::Task {
public:
  explicit MemoryTask(uint64_t size, bool accept = true) : file(size, '\0'), accept_(accept) {}
  bool writefile(const uint8_t* bytes, uint64_t pos, uint64_t size) override {
    std::lock_guard l(mutex);
    writes.emplace_back(pos, size);
    if (!accept_ || pos + size > file.size()) return false;
    file.replace(pos, size, reinterpret_cast<const char*>(bytes), size);
    return true;
  }
  void updateindex(int64_t index) override {
    std::lock_guard l(mutex);
    done.push_back(index);
  }
  size_t doneCount() {
    std::lock_guard l(mutex);
    return done.size();
  }
  std::mutex mutex;
  std::string file;
  std::vector<std::pair<uint64_t, uint64_t>> writes;
  std::vector<int64_t> done;

private:
  bool accept_;
};

// The transfer manager's side of a download.
class RecordingParent : public DownloadParent {
public:
  void AddTransportData(const std::string&, uint64_t add, int64_t type) override {
    if (type == 0) bytes += add;
  }
  void removedownload(Download& download) override {
    if (onRemove) onRemove(download);
    removed = true;
  }
  std::shared_ptr<Syncdb> syncdb() override { return db; }
  bool parkfailed(const std::string&) override { return park; }
  bool checkfilehash(const std::string&) override {
    ++queries;
    return true;
  }

  std::atomic<uint64_t> bytes{0};
  std::atomic<bool> removed{false};
  std::atomic<int> queries{0};
  std::shared_ptr<Syncdb> db;
  bool park = false;
  std::function<void(Download&)> onRemove;
};

}  // namespace dltest
