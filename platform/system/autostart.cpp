#include "platform/system/autostart.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/system/replaceable.h"

namespace plat {

namespace {

Replaceable<LoginItems, AutostartEntries> gItems;

// A value of the string type escapes backslash and control characters.
std::string escapeValue(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string unescapeValue(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char n = s[++i];
      switch (n) {
        case 's': out.push_back(' '); break;
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        default: out.push_back(n);
      }
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// One argument of an Exec line: always quoted, with the characters that
// stay special inside quotes escaped, and "%" doubled (field codes).
std::string quoteArgument(const std::string& arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out.push_back('\\');
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string firstArgument(const std::string& exec) {
  std::string out;
  size_t i = 0;
  while (i < exec.size() && exec[i] == ' ') ++i;
  bool quoted = false;
  for (; i < exec.size(); ++i) {
    char c = exec[i];
    if (quoted) {
      if (c == '\\' && i + 1 < exec.size()) {
        out.push_back(exec[++i]);
      } else if (c == '"') {
        quoted = false;
      } else {
        out.push_back(c);
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ' ') {
      break;
    } else {
      out.push_back(c);
    }
  }
  // "%%" stands for one "%".
  std::string collapsed;
  for (size_t k = 0; k < out.size(); ++k) {
    collapsed.push_back(out[k]);
    if (out[k] == '%' && k + 1 < out.size() && out[k + 1] == '%') ++k;
  }
  return collapsed;
}

std::vector<std::string> desktopFiles(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 8 && n.compare(n.size() - 8, 8, ".desktop") == 0) names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string fileNameFor(const std::string& name) {
  std::string out;
  for (char c : name) out.push_back(c == '/' ? '_' : c);
  return out.empty() ? "app" : out;
}

}  // namespace

std::string autostartDesktopEntry(const std::string& name, const std::string& program) {
  return "[Desktop Entry]\nType=Application\nName=" + escapeValue(name) + "\nExec=" +
         escapeValue(quoteArgument(program)) + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

std::optional<std::string> desktopEntryProgram(const std::string& text) {
  bool inEntry = false, hidden = false;
  std::optional<std::string> exec;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? text.size() + 1 : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    while (!value.empty() && value.front() == ' ') value.erase(value.begin());
    if (key == "Exec" && !exec) exec = firstArgument(unescapeValue(value));
    if (key == "Hidden" && value == "true") hidden = true;
  }
  if (hidden || !exec || exec->empty()) return std::nullopt;
  return exec;
}

std::string AutostartEntries::directory() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome && configHome[0] == '/') return std::string(configHome) + "/autostart";
  return homeDirectory() + "/.config/autostart";
}

std::vector<std::string> AutostartEntries::entriesFor(const std::string& program) {
  std::vector<std::string> out;
  std::string dir = directory();
  for (const auto& n : desktopFiles(dir)) {
    std::string path = dir + "/" + n;
    auto text = readFile(path);
    if (!text) continue;
    auto exec = desktopEntryProgram(*text);
    if (exec && *exec == program) out.push_back(path);
  }
  return out;
}

bool AutostartEntries::add(const std::string& name, const std::string& program) {
  std::string dir = directory();
  if (!makeDirectories(dir, 0700)) return false;
  std::string base = fileNameFor(name);
  for (int n = 1; n < 1000; ++n) {
    std::string path = n == 1 ? format("%@/%@.desktop", dir, base) : format("%@/%@-%d.desktop", dir, base, n);
    if (statNoFollow(path)) continue;
    return atomicWrite(path, autostartDesktopEntry(name, program), 0644);
  }
  return false;
}

bool AutostartEntries::find(const std::string& program) const { return !entriesFor(program).empty(); }

bool AutostartEntries::remove(const std::string& program) {
  auto entries = entriesFor(program);
  if (entries.empty()) return false;
  return unlink(entries.front().c_str()) == 0;
}

std::shared_ptr<LoginItems> loginItems() { return gItems.get(); }

void setLoginItems(std::shared_ptr<LoginItems> items) { gItems.set(std::move(items)); }

}  // namespace plat
