#include "tests/support/DevCloudProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Framework/JSONDecoder/JSONDecoder.h"
#include <filesystem>

#include "platform/foundation/format.h"
#include "platform/net/url_connection.h"

extern char** environ;

namespace {

std::string readLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
  return line;
}

void appendJSON(std::string& out, const plat::Value& v) {
  switch (v.kind()) {
    case plat::Value::Kind::Null: out += "null"; break;
    case plat::Value::Kind::Bool: out += v.boolValue() ? "true" : "false"; break;
    case plat::Value::Kind::Number:
    case plat::Value::Kind::Decimal: out += v.description(); break;
    case plat::Value::Kind::String: {
      out += '"';
      for (unsigned char c : v.string()) {
        if (c == '"' || c == '\\') {
          out += '\\';
          out += static_cast<char>(c);
        } else if (c < 0x20) {
          out += plat::format("\\u%04x", static_cast<unsigned>(c));
        } else {
          out += static_cast<char>(c);
        }
      }
      out += '"';
      break;
    }
    case plat::Value::Kind::Array: {
      out += '[';
      bool first = true;
      for (const auto& e : v.array()) {
        if (!first) out += ',';
        first = false;
        appendJSON(out, e);
      }
      out += ']';
      break;
    }
    case plat::Value::Kind::Dictionary: {
      out += '{';
      bool first = true;
      for (const auto& [k, e] : v.dictionary()) {
        if (!first) out += ',';
        first = false;
        appendJSON(out, plat::Value(k));
        out += ':';
        appendJSON(out, e);
      }
      out += '}';
      break;
    }
    default: out += "null"; break;
  }
}

}  // namespace

std::string DevCloudProcess::json(const plat::Value& v) {
  std::string out;
  appendJSON(out, v);
  return out;
}

DevCloudProcess::DevCloudProcess(bool tls) {
  char dir[] = "/tmp/qv-devcloud-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return;
  data_ = dir;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::string errlog = data_ + "/stderr.log";
  posix_spawn_file_actions_addopen(&actions, 2, errlog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, QV_SOURCE_DIR);
  std::vector<std::string> args = {"python3", "-m", "devcloud", "--data", data_, "--port", "0", "--test-hooks"};
  if (tls) args.push_back("--tls");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return;
  }
  pid_ = pid;
  std::string line = readLine(out[0]);
  if (line.find("listening on") != std::string::npos) url_ = line.substr(line.rfind(' ') + 1);
  if (tls && !url_.empty()) {
    std::string ca = readLine(out[0]);
    auto colon = ca.find(": ");
    if (colon != std::string::npos) caPath_ = ca.substr(colon + 2);
  }
  ::close(out[0]);
}

DevCloudProcess::~DevCloudProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (!data_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(data_, ec);
  }
}

std::string DevCloudProcess::hostPort() const {
  auto p = url_.find("://");
  return p == std::string::npos ? url_ : url_.substr(p + 3);
}

std::string DevCloudProcess::caPEM() const {
  if (caPath_.empty()) return {};
  std::ifstream in(caPath_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::optional<plat::Value> DevCloudProcess::hook(const std::string& method, const std::string& path,
                                                 const std::optional<plat::Value>& body) {
  std::optional<plat::Data> data;
  if (body) {
    std::string text = json(*body);
    data = plat::Data(text.begin(), text.end());
  }
  plat::URLRequest request;
  request.url = url_ + "/_test/" + path;
  request.method = method;
  if (data) request.body = std::move(*data);
  request.timeoutInterval = 30;
  request.ssl.trustedCertificatesPEM = caPEM();
  std::optional<plat::HTTPURLResponse> response;
  plat::Error error;
  auto reply = plat::URLConnection::sendSynchronousRequest(request, &response, &error);
  if (!response || response->statusCode() != 200 || !reply) return std::nullopt;
  return JDDeserializing::objectFromJSONString(std::string_view(reinterpret_cast<const char*>(reply->data()),
                                                                reply->size()));
}

plat::Array DevCloudProcess::requests(int64_t since) {
  auto r = hook("GET", plat::format("requests?since=%ld", static_cast<long>(since)));
  return r ? (*r)["requests"].array() : plat::Array{};
}

int64_t DevCloudProcess::lastSeq() {
  plat::Array all = requests(0);
  return all.empty() ? 0 : all.back()["seq"].longLongValue();
}
