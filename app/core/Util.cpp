// Util: file operations, date texts, texts and block bit sets.
#include "app/core/Util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "Framework/Staticclass/FileSHA1.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/date_text.h"
#include "platform/foundation/format.h"
#include "platform/foundation/text_codec.h"
#include "platform/foundation/log.h"
#include "platform/system/file_flags.h"
#include "platform/system/trash.h"

namespace {

std::vector<std::string> listDirectory(const std::string& dir, bool* ok) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (ok) *ok = d != nullptr;
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}


bool copyRegular(const std::string& from, const std::string& to, const struct stat& st, bool flush) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t r = read(in, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ok = false;
    if (r <= 0) break;
    if (!plat::writeAll(out, buf.data(), static_cast<size_t>(r))) {
      ok = false;
      break;
    }
  }
  close(in);
  // The copy keeps the source's permissions and times, as the platform's copy does.
  if (ok) ok = fchmod(out, st.st_mode & 07777) == 0;
  if (ok) {
    timespec times[2] = {st.st_atim, st.st_mtim};
    ok = futimens(out, times) == 0;
  }
  if (ok && flush) ok = fsync(out) == 0;
  if (close(out) != 0) ok = false;
  if (!ok) unlink(to.c_str());
  return ok;
}

// Copies an item (a folder with all it holds, a link as a link) to a path
// where nothing is. A failed copy removes what it made.
bool copyItem(const std::string& from, const std::string& to, bool flush) {
  struct stat st{};
  if (lstat(from.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n = readlink(from.c_str(), buf.data(), buf.size());
    if (n < 0 || static_cast<size_t>(n) >= buf.size()) return false;
    return symlink(std::string(buf.data(), static_cast<size_t>(n)).c_str(), to.c_str()) == 0;
  }
  if (S_ISREG(st.st_mode)) return copyRegular(from, to, st, flush);
  if (!S_ISDIR(st.st_mode)) return false;
  if (mkdir(to.c_str(), 0700) != 0) return false;
  bool listed = false;
  auto names = listDirectory(from, &listed);
  bool ok = listed;
  for (const auto& n : names) {
    if (!ok) break;
    ok = copyItem(from + "/" + n, to + "/" + n, flush);
  }
  if (ok) {
    ok = chmod(to.c_str(), st.st_mode & 07777) == 0;
    timespec times[2] = {st.st_atim, st.st_mtim};
    if (ok) ok = utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
  }
  if (!ok) plat::removeTree(to);
  return ok;
}

// Whether `to` would lie inside the folder `from`: a copy there would copy
// its own output (and removing the target first would cost the source).
bool insideItself(const std::string& from, const std::string& to) {
  struct stat st{};
  if (lstat(from.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  char* source = realpath(from.c_str(), nullptr);
  std::string parent = NSStringExpand::getParent(NSStringExpand::lastremoveslash(to));
  char* target = realpath(parent.empty() ? "/" : parent.c_str(), nullptr);
  bool inside = false;
  if (source && target) {
    std::string s = source, t = target;
    inside = t == s || t.rfind(NSStringExpand::lastaddslash(s), 0) == 0;
  }
  free(source);
  free(target);
  return inside;
}

// The item a path names, with every folder above it resolved but the last
// name kept as it is (a link names itself, not what it leads to).
std::optional<std::string> resolvedItem(const std::string& path) {
  std::string trimmed = NSStringExpand::lastremoveslash(path);
  std::string parent = NSStringExpand::getParent(trimmed);
  std::string name = NSStringExpand::getFilename(trimmed);
  char* dir = realpath(parent.empty() ? "/" : parent.c_str(), nullptr);
  if (!dir) return std::nullopt;
  std::string out = dir;
  free(dir);
  if (name.empty() || name == ".") return out;
  if (name == "..") {
    char* up = realpath(trimmed.c_str(), nullptr);
    if (!up) return std::nullopt;
    out = up;
    free(up);
    return out;
  }
  return NSStringExpand::lastaddslash(out) + name;
}

// Whether the folder `to` holds `from`: removing the target to make way for
// the copy would remove the source with it.
bool holdsSource(const std::string& from, const std::string& to) {
  struct stat st{};
  if (lstat(to.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  auto source = resolvedItem(from);
  auto target = resolvedItem(to);
  if (!source || !target) return true;  // unknown: never risk the source
  return *source == *target || source->rfind(NSStringExpand::lastaddslash(*target), 0) == 0;
}

bool sameItem(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  if (lstat(a.c_str(), &sa) != 0 || lstat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool itemExists(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

struct tm brokenDown(bool utc) {
  double now = plat::currentClock().now().secondsSince1970;
  time_t t = static_cast<time_t>(std::floor(now));
  struct tm tm{};
  if (utc) {
    gmtime_r(&t, &tm);
  } else {
    localtime_r(&t, &tm);
  }
  return tm;
}

const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

const uint8_t indextable[256] = {
#define B2(n) n, n + 1, n + 1, n + 2
#define B4(n) B2(n), B2(n + 1), B2(n + 1), B2(n + 2)
#define B6(n) B4(n), B4(n + 1), B4(n + 1), B4(n + 2)
    B6(0), B6(1), B6(1), B6(2)
#undef B6
#undef B4
#undef B2
};
static_assert(sizeof(indextable) == 256);

// ---- File operations ----

bool Util::existfile(const std::string& path) { return plat::fileExists(path); }

bool Util::isdir(const std::string& path) { return plat::isDirectory(path); }

bool Util::createfolder(const std::string& path) {
  if (auto st = plat::statFollow(path)) return st->isDirectory;
  if (itemExists(path)) return false;  // a link that leads nowhere
  return plat::makeDirectories(path);
}

bool Util::createfile(const std::string& path) {
  if (itemExists(path)) return true;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EEXIST;
  close(fd);
  return true;
}

bool Util::isemptydir(const std::string& path) {
  bool listed = false;
  auto names = listDirectory(path, &listed);
  if (!listed) return true;
  for (const auto& n : names) {
    if (n.find('.') == std::string::npos && n != "Icon\r") return false;
  }
  return true;
}

std::optional<std::vector<std::string>> Util::subpathsAtPath(const std::string& path) {
  bool listed = false;
  auto top = listDirectory(path, &listed);
  if (!listed) return std::nullopt;
  std::vector<std::string> out;
  std::string base = NSStringExpand::lastaddslash(path);
  // Depth first, a folder before its contents; links are not followed.
  std::vector<std::pair<std::string, std::vector<std::string>>> stack;
  stack.push_back({"", std::move(top)});
  std::vector<size_t> next{0};
  while (!stack.empty()) {
    auto& [prefix, names] = stack.back();
    size_t& i = next.back();
    if (i >= names.size()) {
      stack.pop_back();
      next.pop_back();
      continue;
    }
    std::string rel = prefix + names[i++];
    out.push_back(rel);
    struct stat st{};
    if (lstat((base + rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      bool ok = false;
      auto sub = listDirectory(base + rel, &ok);
      if (ok && !sub.empty()) {
        stack.push_back({rel + "/", std::move(sub)});
        next.push_back(0);
      }
    }
  }
  return out;
}

bool Util::movefile(const std::string& from, const std::string& to) {
  if (!itemExists(from) || itemExists(to)) return false;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int e = errno;
  if (e == EINVAL || e == ENOSYS) {  // a file system without no-replace renames
    if (itemExists(to)) return false;
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    e = errno;
  }
  if (e != EXDEV) return false;
  // Another volume: copy, then remove the original.
  if (!copyItem(from, to, true)) return false;
  return plat::removeTree(from);
}

bool Util::copyfile(const std::string& from, const std::string& to) {
  // Removing the target first would destroy the source when both name the
  // same item.
  if (sameItem(from, to) || insideItself(from, to) || holdsSource(from, to)) return false;
  // A missing source is found before the target is removed, so a failed
  // copy does not also cost the file that was there.
  if (!itemExists(from)) return false;
  if (itemExists(to) && !plat::removeTree(to)) return false;
  return copyItem(from, to, false);
}

bool Util::copyfile(const std::string& from, const std::string& to, bool replace) {
  if (!replace && itemExists(to)) return true;
  return copyfile(from, to);
}

bool Util::copyfolder(const std::string& from, const std::string& to, bool replace) {
  if (!existfile(from)) return true;
  if (!isdir(from)) return copyfile(from, to, replace);
  if (!createfolder(to)) return false;
  std::string src = NSStringExpand::lastaddslash(from), dst = NSStringExpand::lastaddslash(to);
  for (const auto& name : listDirectory(src, nullptr)) {
    if (movefile(src + name, dst + name)) continue;
    if (!copyfile(src + name, dst + name, replace)) return false;
  }
  return true;
}

bool Util::copyfileneedtemp(const std::string& from, const std::string& to) {
  std::string temp = to + ".qvcopy";
  bool ok = true;
  if (insideItself(from, temp) || holdsSource(from, to)) return false;
  try {
    if (itemExists(temp)) ok = plat::removeTree(temp);
    if (ok) ok = copyItem(from, temp, true);
    // One rename puts the complete copy in place of the old target. Only a
    // folder's copy makes way by removing the folder there; a file never
    // takes the place of a folder (whatever it holds would go with it).
    if (ok && rename(temp.c_str(), to.c_str()) != 0) {
      const auto copied = plat::statNoFollow(temp);
      ok = copied && copied->isDirectory && plat::removeTree(to) && rename(temp.c_str(), to.c_str()) == 0;
      if (!ok) plat::removeTree(temp);
    }
  } catch (const std::exception& e) {
    plat::log("copy %@", std::string(e.what()));
  }
  return ok;
}

bool Util::deletefile(const std::string& path) {
  if (!itemExists(path)) return false;
  return plat::removeTree(path);
}

bool Util::deletefile2recyclebin(const std::string& path) {
  std::string parent = NSStringExpand::getParent(NSStringExpand::lastremoveslash(path));
  std::string name = NSStringExpand::getFilename(NSStringExpand::lastremoveslash(path));
  return plat::trash()->moveToTrash(parent + "/" + name);
}

bool Util::deletefolder(const std::string& path, bool undo) {
  return undo ? deletefile2recyclebin(path) : deletefile(path);
}

bool Util::deletefileinfolder(const std::string& path, bool undo) {
  std::string dir = NSStringExpand::lastaddslash(path);
  for (const auto& name : listDirectory(dir, nullptr)) {
    if (isdir(dir + name)) continue;
    if (undo) {
      deletefile2recyclebin(dir + name);
    } else {
      deletefile(dir + name);
    }
  }
  return true;
}

uint64_t Util::filesize(const std::string& path) {
  auto st = plat::statNoFollow(path);
  return st ? st->size : 0;
}

uint64_t Util::filemodifytime(const std::string& path) {
  auto st = plat::statNoFollow(path);
  if (!st || st->modified.secondsSince1970 < 0) return 0;
  return static_cast<uint64_t>(st->modified.secondsSince1970);
}

uint64_t Util::filecreatetime(const std::string& path) {
  struct statx sx{};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &sx) != 0) return 0;
  // File systems that keep no birth time give the modification time.
  int64_t t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
  return t < 0 ? 0 : static_cast<uint64_t>(t);
}

bool Util::isfilelock(const std::string& path) { return plat::isImmutable(path); }

bool Util::setfilelock(const std::string& path, bool lock) { return plat::setImmutable(path, lock); }

void Util::setfileexthide(const std::string& path) { plat::setExtensionHidden(path, true); }

void Util::setfilereadonly(const std::string& path) { chmod(path.c_str(), 0444); }

void Util::setfilereadwirte(const std::string& path) { chmod(path.c_str(), 0644); }

std::optional<std::string> Util::getfilehash(const std::string& path) {
  return FileSHA1::FileMD5HashCreateWithPath(path, 0);
}

bool Util::createlink(const std::string& linkPath, const std::string& srcpath) {
  return symlink(srcpath.c_str(), linkPath.c_str()) == 0;
}

bool Util::checklinkdir(const std::string& path) {
  auto st = plat::statNoFollow(path);
  return st && st->isSymlink;
}

std::optional<std::string> Util::getlinksrcpath(const std::string& linkPath) {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = readlink(linkPath.c_str(), buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

bool Util::findspace(const std::string& path) {
  std::string name = NSStringExpand::getFilename(path);
  return !name.empty() && (isBlank(name.front()) || isBlank(name.back()));
}

std::string Util::replacespace(const std::string& path) {
  std::string name = NSStringExpand::getFilename(path);
  size_t b = 0, e = name.size();
  while (b < e && isBlank(name[b])) ++b;
  while (e > b && isBlank(name[e - 1])) --e;
  name = name.substr(b, e - b);
  if (name.empty()) name.assign(1, '_');
  return plat::format("%@/%@", NSStringExpand::getParent(path), name);
}

bool Util::checknamecase(const std::string& path) {
  std::string last = NSStringExpand::getFilename(path);
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return false;  // the name shown is the one given
  // The name the folder really holds: on a file system that ignores letter
  // case the item is found under a name that differs from the one asked.
  std::string shown = last;
  bool listed = false;
  auto names = listDirectory(NSStringExpand::getParent(path).empty() ? "/" : NSStringExpand::getParent(path), &listed);
  if (listed && std::find(names.begin(), names.end(), last) == names.end()) {
    for (const auto& n : names) {
      struct stat ns{};
      std::string candidate = NSStringExpand::getParent(path) + "/" + n;
      if (lstat(candidate.c_str(), &ns) == 0 && ns.st_dev == st.st_dev && ns.st_ino == st.st_ino) {
        shown = n;
        break;
      }
    }
  }
  std::string ext;
  size_t dot = last.rfind('.');
  if (dot != std::string::npos && dot > 0) ext = last.substr(dot + 1);
  return !shown.empty() && shown != last && plat::format("%@.%@", shown, ext) != last;
}

// ---- Date texts ----

std::string Util::getOnlyDate() {
  // The calendar year: the week-based year would stamp the last days of
  // December with the year to come.
  struct tm tm = brokenDown(false);
  return plat::format("%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                      tm.tm_min, tm.tm_sec);
}

std::string Util::getDate() { return plat::signatureDateText(); }

std::string Util::getGMTDate() {
  struct tm tm = brokenDown(true);
  return plat::format("%s, %02d %s %04d %02d:%02d:%02d GMT", kWeekdays[tm.tm_wday], tm.tm_mday, kMonths[tm.tm_mon],
                      tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// ---- Texts ----

std::string Util::jsonText(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '/') out += "\\/";
    else if (char letter = plat::kJSONEscapes.e[c]) plat::appendJSONEscape(out, c, letter);
    else out.push_back(static_cast<char>(c));
  }
  return out;
}

std::string Util::convertFileUnitSize(uint64_t size) {
  if (size >= 1073741824ULL) return plat::format("%.2f G", static_cast<double>(size) / 1073741824.0);
  if (size < 1048576ULL) return plat::format("%.2f K", static_cast<double>(size) / 1024.0);
  return plat::format("%.2f M", static_cast<double>(size) / 1048576.0);
}

// The whole text must match [A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,4}.
// Matched by hand in one pass: a backtracking regex engine recurses once per
// character and overflows the stack on a long text.
bool Util::emailCheckInput(const std::string& text) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t at = text.find('@');
  if (at == 0 || at == std::string::npos) return false;
  for (size_t i = 0; i < at; ++i) {
    char c = text[i];
    if (!letter(c) && !digit(c) && std::string_view("._%+-").find(c) == std::string_view::npos) return false;
  }
  // Neither part can hold a second "@", so the domain is all that follows.
  std::string_view domain(text.data() + at + 1, text.size() - at - 1);
  for (char c : domain) {
    if (!letter(c) && !digit(c) && c != '.' && c != '-') return false;
  }
  // A name before the last dot, then two to four letters.
  size_t tld = 0;
  while (tld < domain.size() && letter(domain[domain.size() - 1 - tld])) ++tld;
  for (size_t k = 2; k <= 4 && k <= tld; ++k) {
    if (k + 2 <= domain.size() && domain[domain.size() - k - 1] == '.') return true;
  }
  return false;
}

// ---- Block bit sets ----

int Util::getblockcount(uint64_t filesize) { return static_cast<int>((filesize + 1048575ULL) >> 20); }

int Util::getbytecount(int64_t count) { return count > 0 ? static_cast<int>((count + 7) / 8) : 0; }

void Util::setLast(uint8_t* last, int num) {
  if (num >= 1 && num <= 7) *last = static_cast<uint8_t>(*last % (1u << num));
}

namespace {
void trim(uint8_t* set, int64_t count) {
  if (count > 0) Util::setLast(set + Util::getbytecount(count) - 1, static_cast<int>(count % 8));
}
}  // namespace

void Util::setAll(uint8_t* set, int64_t count) {
  int n = getbytecount(count);
  for (int i = 0; i < n; ++i) set[i] = 0xFF;
  trim(set, count);
}

void Util::setNOT(const uint8_t* a, uint8_t* to, int64_t count) {
  int n = getbytecount(count);
  for (int i = 0; i < n; ++i) to[i] = static_cast<uint8_t>(~a[i]);
  trim(to, count);
}

void Util::setOR(uint8_t* a, const uint8_t* from, int64_t count) {
  int n = getbytecount(count);
  for (int i = 0; i < n; ++i) a[i] |= from[i];
  trim(a, count);
}

void Util::setMove(uint8_t* a, const uint8_t* from, int64_t count) {
  int n = getbytecount(count);
  for (int i = 0; i < n; ++i) a[i] = static_cast<uint8_t>(a[i] & ~from[i]);
  trim(a, count);
}

void Util::setNeedAND(const uint8_t* a, const uint8_t* form2, uint8_t* to, int64_t count) {
  int n = getbytecount(count);
  for (int i = 0; i < n; ++i) to[i] = form2[i] & a[i];
  trim(to, count);
}

bool Util::isSame(const uint8_t* a, const uint8_t* form2, int64_t count) {
  int n = getbytecount(count);
  return n == 0 || std::memcmp(a, form2, static_cast<size_t>(n)) == 0;
}

void Util::setIndex1(uint8_t* set, int64_t count, int64_t index) {
  if (index >= 0 && index < count) set[index / 8] |= static_cast<uint8_t>(1u << (index % 8));
}

void Util::setIndex0(uint8_t* set, int64_t count, int64_t index) {
  if (index >= 0 && index < count) set[index / 8] &= static_cast<uint8_t>(~(1u << (index % 8)));
}

int Util::getAll(uint8_t* set, int64_t count) {
  trim(set, count);
  int n = getbytecount(count), total = 0;
  for (int i = 0; i < n; ++i) total += indextable[set[i]];
  return total;
}

int Util::getFrist(uint8_t* set, int64_t count) {
  trim(set, count);
  int n = getbytecount(count);
  for (int i = 0; i < n; ++i) {
    if (set[i]) return i * 8 + getBitindex(set[i]);
  }
  return -1;
}

int Util::getBitindex(uint8_t byte) {
  for (int i = 0; i < 8; ++i) {
    if (byte & (1u << i)) return i;
  }
  return 0;
}
