#include "Framework/ZipWrapper/ZipWrapper.h"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>
#include <unzip.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

#include "platform/foundation/file_util.h"

namespace {

constexpr size_t kReadBufferSize = 4096;
constexpr size_t kAddChunkSize = 64 * 1024;
// Texts of our own for the faults the wrapper refuses.
constexpr const char* kUnsafeEntry = "Refused an entry that would be written outside the destination";
constexpr const char* kWriteFailed = "Failed to write output file";
constexpr const char* kPlaceFailed = "Failed to move the unzipped files into place";
constexpr const char* kTooLarge = "Refused a package that unpacks to more than its limit";
constexpr const char* kTooMany = "Refused a package with more entries than its limit";
constexpr const char* kNameTooLong = "Refused an entry whose name is too long or too deep";
constexpr const char* kNotAFile = "Only regular files are added";

unzFile unz(void* p) { return static_cast<unzFile>(p); }
zipFile zipf(void* p) { return static_cast<zipFile>(p); }

// An entry is refused when its name is empty or absolute, when a component
// climbs ("..") out of the destination, or when it is a symbolic link, which
// could point a later entry anywhere.
bool isSafeEntry(const std::string& name, const unz_file_info& info) {
  if (name.empty() || name.front() == '/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  const unsigned long host = info.version >> 8;
  const unsigned long mode = info.external_fa >> 16;
  if (host == 3 /* Unix */ && (mode & S_IFMT) == S_IFLNK) return false;
  return true;
}

// Folders above the entry's last component.
int depthOf(const std::string& name) {
  int depth = 0;
  for (size_t i = 0; i + 1 < name.size(); ++i)
    if (name[i] == '/') ++depth;
  return depth;
}

// Makes each missing folder of `rel` under `base`, one component at a time
// (no recursion, however deep the name), noting the ones it made.
bool makeFolders(const std::string& base, const std::string& rel, std::vector<std::string>* made = nullptr) {
  std::string path = base;
  size_t start = 0;
  while (start < rel.size()) {
    size_t end = rel.find('/', start);
    if (end == std::string::npos) end = rel.size();
    if (end > start) {
      path += '/';
      path.append(rel, start, end - start);
      if (::mkdir(path.c_str(), 0755) == 0) {
        if (made) made->push_back(path);
      } else if (errno != EEXIST || !plat::isDirectory(path)) {
        return false;
      }
    }
    start = end + 1;
  }
  return true;
}

std::string entryName(unzFile file, unz_file_info* info, bool* ok) {
  *ok = unzGetCurrentFileInfo(file, info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK;
  if (!*ok) return {};
  std::vector<char> buf(info->size_filename + 1, '\0');
  if (unzGetCurrentFileInfo(file, info, buf.data(), buf.size(), nullptr, 0, nullptr, 0) != UNZ_OK) {
    *ok = false;
    return {};
  }
  return std::string(buf.data(), info->size_filename);
}

void toSlashes(std::string& s) {
  for (char& c : s)
    if (c == '\\') c = '/';
}

int openEntry(unzFile file, const std::string& password) {
  return password.empty() ? unzOpenCurrentFile(file) : unzOpenCurrentFilePassword(file, password.c_str());
}

bool setLocalModificationTime(const std::string& path, const tm_unz& t) {
  struct tm tm {};
  tm.tm_sec = static_cast<int>(t.tm_sec);
  tm.tm_min = static_cast<int>(t.tm_min);
  tm.tm_hour = static_cast<int>(t.tm_hour);
  tm.tm_mday = static_cast<int>(t.tm_mday);
  tm.tm_mon = static_cast<int>(t.tm_mon);
  tm.tm_year = static_cast<int>(t.tm_year) - 1900;
  tm.tm_isdst = -1;
  time_t when = mktime(&tm);
  if (when == static_cast<time_t>(-1)) return false;
  return plat::setModificationTime(path, plat::Date{static_cast<double>(when)});
}

void packLocalTime(time_t when, tm_zip* out) {
  struct tm tm {};
  localtime_r(&when, &tm);
  out->tm_sec = tm.tm_sec;
  out->tm_min = tm.tm_min;
  out->tm_hour = tm.tm_hour;
  out->tm_mday = tm.tm_mday;
  out->tm_mon = tm.tm_mon;
  out->tm_year = tm.tm_year + 1900;
}

// Streams the whole file through `each`; false when it cannot be read.
template <class F>
bool readChunks(int fd, F&& each) {
  std::vector<char> buf(kAddChunkSize);
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!each(buf.data(), static_cast<size_t>(n))) return false;
  }
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

// What an extraction staged, in archive order, before it reaches the destination.
struct ZipWrapper::Staged {
  std::string folder;                 // the private folder beside the destination
  std::vector<std::string> dirs;      // relative names of folders
  std::vector<std::string> files;     // relative names of files, each once
  std::set<std::string> fileSet;
};

ZipWrapper::~ZipWrapper() {
  CloseZipFile2();
  UnzipCloseFile();
}

bool ZipWrapper::CreateZipFile2(const std::string& zipFile) {
  // A second archive must not leak (and leave unfinished) the first one.
  if (_zipFile) {
    zipClose(zipf(_zipFile), nullptr);
    _zipFile = nullptr;
  }
  _zipFile = zipOpen(zipFile.c_str(), APPEND_STATUS_CREATE);
  return _zipFile != nullptr;
}

bool ZipWrapper::CreateZipFile2(const std::string& zipFile, const std::string& password) {
  password_ = password;
  return CreateZipFile2(zipFile);
}

bool ZipWrapper::addFileToZip(const std::string& file, const std::string& newname) {
  if (!_zipFile) return false;
  // A file that cannot be read is a failure, never an empty entry.
  // Opened without waiting (a FIFO would block the open for good), then
  // only a regular file is taken.
  Fd in;
  in.fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in.fd < 0) return false;
  struct stat attrs;
  if (::fstat(in.fd, &attrs) != 0 || !S_ISREG(attrs.st_mode)) {
    OutputErrorMessage(kNotAFile);
    return false;
  }
  ::fcntl(in.fd, F_SETFL, ::fcntl(in.fd, F_GETFL) & ~O_NONBLOCK);

  zip_fileinfo info;
  std::memset(&info, 0, sizeof info);
  packLocalTime(attrs.st_mtime, &info.tmz_date);

  // Debian's minizip is built without encryption: given a password it would
  // write the entry in plain text and answer success. Refuse instead.
  if (!password_.empty()) return false;
  int rc = zipOpenNewFileInZip(zipf(_zipFile), newname.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                               Z_DEFAULT_COMPRESSION);
  if (rc != ZIP_OK) return false;
  bool wrote = readChunks(in.fd, [&](const char* p, size_t n) {
    return zipWriteInFileInZip(zipf(_zipFile), p, static_cast<unsigned>(n)) == ZIP_OK;
  });
  // The entry is closed whatever happened, so the archive stays well formed.
  bool closed = zipCloseFileInZip(zipf(_zipFile)) == ZIP_OK;
  return wrote && closed;
}

bool ZipWrapper::CloseZipFile2() {
  password_.clear();
  if (!_zipFile) return false;
  int rc = zipClose(zipf(_zipFile), nullptr);
  _zipFile = nullptr;
  return rc == ZIP_OK;
}

bool ZipWrapper::UnzipOpenFile(const std::string& zipFile) {
  unzippedFiles_.clear();
  if (_unzFile) {
    unzClose(unz(_unzFile));
    _unzFile = nullptr;
    numFiles_ = 0;
  }
  _unzFile = unzOpen(zipFile.c_str());
  if (_unzFile) {
    unz_global_info info;
    if (unzGetGlobalInfo(unz(_unzFile), &info) == UNZ_OK) numFiles_ = static_cast<int>(info.number_entry);
  }
  return _unzFile != nullptr;
}

bool ZipWrapper::UnzipOpenFile(const std::string& zipFile, const std::string& password) {
  password_ = password;
  return UnzipOpenFile(zipFile);
}

bool ZipWrapper::UnzipCloseFile() {
  password_.clear();
  if (!_unzFile) return true;
  int rc = unzClose(unz(_unzFile));
  _unzFile = nullptr;
  return rc == UNZ_OK;
}

bool ZipWrapper::UnzipFileTo(const std::string& path, bool overwrite) {
  std::string destination = path;
  while (destination.size() > 1 && destination.back() == '/') destination.pop_back();
  Staged staged;
  bool result = extractEntries(destination, overwrite, staged);
  if (result) result = placeStaged(destination, staged);
  if (!staged.folder.empty()) plat::removeTree(staged.folder);
  return result;
}

// Unpacks every entry into the private folder. Returns false at the first
// entry that fails; the destination has not been touched then.
bool ZipWrapper::extractEntries(const std::string& destination, bool overwrite, Staged& staged) {
  unzFile file = unz(_unzFile);
  bool result = true;
  if (numFiles_ > limits_.entries) {
    OutputErrorMessage(kTooMany);
    return false;
  }
  if (unzGoToFirstFile(file) != UNZ_OK) OutputErrorMessage("Failed");
  int done = 0;
  uint64_t unpacked = 0;
  std::vector<char> buffer(kReadBufferSize);
  for (int seen = 1;; ++seen) {
    if (seen > limits_.entries) {
      OutputErrorMessage(kTooMany);
      return false;
    }
    unz_file_info info;
    std::string name;
    if (!openCurrentEntry(&info, &name, "Error occurs")) return false;
    const bool isDirectory = !name.empty() && (name.back() == '/' || name.back() == '\\');
    toSlashes(name);
    if (!isSafeEntry(name, info)) {
      OutputErrorMessage(kUnsafeEntry);
      unzCloseCurrentFile(file);
      return false;
    }
    if (name.size() > limits_.nameBytes || depthOf(name) > limits_.depth) {
      OutputErrorMessage(kNameTooLong);
      unzCloseCurrentFile(file);
      return false;
    }
    if (staged.folder.empty()) {
      // Beside the destination, so the final moves are renames on one file system.
      std::string parent = plat::pathDirname(destination);
      plat::makeDirectories(parent);
      std::string tmpl = plat::pathJoin(parent, "." + plat::pathBasename(destination) + ".unzip-XXXXXX");
      std::vector<char> buf(tmpl.begin(), tmpl.end());
      buf.push_back('\0');
      if (!mkdtemp(buf.data())) {
        OutputErrorMessage("Failed to open output file for writing");
        unzCloseCurrentFile(file);
        return false;
      }
      staged.folder = buf.data();
      chmod(staged.folder.c_str(), 0755);
    }
    const std::string stagedPath = plat::pathJoin(staged.folder, name);
    const std::string target = plat::pathJoin(destination, name);

    if (isDirectory) {
      makeFolders(staged.folder, name);
      staged.dirs.push_back(name);
    } else {
      makeFolders(staged.folder, plat::pathDirname(name));
      const bool skip = !overwrite && plat::statNoFollow(target) && !OverWrite(target);
      if (!skip) {
        Fd out;
        out.fd = ::open(stagedPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (out.fd < 0) {
          OutputErrorMessage("Failed to open output file for writing");
          unzCloseCurrentFile(file);
          return false;
        }
        // minizip stops each entry at its declared size, which bounds the disk it takes.
        for (;;) {
          int n = unzReadCurrentFile(file, buffer.data(), static_cast<unsigned>(buffer.size()));
          if (n == 0) break;
          if (n < 0) {
            OutputErrorMessage("Failed to reading zip file");
            unzCloseCurrentFile(file);
            return false;  // the private folder, partial file included, is removed by the caller
          }
          // Counted before it is kept: a small package can't fill the disk.
          unpacked += static_cast<uint64_t>(n);
          if (unpacked > limits_.totalBytes) {
            OutputErrorMessage(kTooLarge);
            unzCloseCurrentFile(file);
            return false;
          }
          if (!plat::writeAll(out.fd, buffer.data(), static_cast<size_t>(n))) {
            OutputErrorMessage(kWriteFailed);
            unzCloseCurrentFile(file);
            return false;
          }
        }
        int fd = out.fd;
        out.fd = -1;
        if (::close(fd) != 0) {
          OutputErrorMessage(kWriteFailed);
          unzCloseCurrentFile(file);
          return false;
        }
        if (info.dosDate != 0) setLocalModificationTime(stagedPath, info.tmu_date);
        if (staged.fileSet.insert(name).second) staged.files.push_back(name);
      }
    }
    bool last = false;
    if (unzCloseCurrentFile(file) != UNZ_OK) {
      OutputErrorMessage("file was unzipped but failed crc check");
      result = false;
      last = true;
    } else if (unzGoToNextFile(file) != UNZ_OK) {
      last = true;
    }
    if (progressBlock_ && numFiles_ != 0) {
      ++done;
      progressBlock_(done * 100 / numFiles_, done, numFiles_);
    }
    if (last) break;
  }
  return result;
}

// Moves what was staged into the destination: the whole folder in one rename
// when there is none yet, else file by file (each rename replaces atomically),
// after checking that no file has to replace a folder or the reverse. A file
// it replaces is first moved aside into the private folder, so that a rename
// failing part way can put back every file and remove every folder it made:
// the destination is then as it was.
bool ZipWrapper::placeStaged(const std::string& destination, const Staged& staged) {
  if (staged.folder.empty()) return true;
  if (!plat::statNoFollow(destination)) {
    if (::rename(staged.folder.c_str(), destination.c_str()) != 0) {
      OutputErrorMessage(kPlaceFailed);
      return false;
    }
    for (const auto& f : staged.files) unzippedFiles_.push_back(plat::pathJoin(destination, f));
    return true;
  }
  auto blocksFolder = [&](const std::string& rel) {
    // Every folder on the way must be a folder (or missing).
    for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1)) {
      auto st = plat::statFollow(plat::pathJoin(destination, rel.substr(0, slash)));
      if (st && !st->isDirectory) return true;
    }
    return false;
  };
  for (const auto& d : staged.dirs) {
    auto st = plat::statFollow(plat::pathJoin(destination, d));
    if ((st && !st->isDirectory) || blocksFolder(d)) {
      OutputErrorMessage(kPlaceFailed);
      return false;
    }
  }
  for (const auto& f : staged.files) {
    auto st = plat::statNoFollow(plat::pathJoin(destination, f));
    if ((st && st->isDirectory) || blocksFolder(f)) {
      OutputErrorMessage(kPlaceFailed);
      return false;
    }
  }
  // Replaced files wait beside the destination (any name inside the private
  // folder could be an entry's), and go once every file is in place.
  std::string tmpl = plat::pathJoin(plat::pathDirname(destination), "." + plat::pathBasename(destination) + ".replaced-XXXXXX");
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    OutputErrorMessage(kPlaceFailed);
    return false;
  }
  const std::string aside = buf.data();
  struct Placed {
    std::string target, previous;  // previous: where the old file waits ("" when there was none)
  };
  std::vector<Placed> placed;
  std::vector<std::string> madeDirs;
  auto undo = [&] {
    for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
      if (it->previous.empty()) {
        ::unlink(it->target.c_str());
      } else {
        ::rename(it->previous.c_str(), it->target.c_str());
      }
    }
    for (auto it = madeDirs.rbegin(); it != madeDirs.rend(); ++it) ::rmdir(it->c_str());
    plat::removeTree(aside);
    OutputErrorMessage(kPlaceFailed);
    return false;
  };
  for (const auto& d : staged.dirs) {
    if (!makeFolders(destination, d, &madeDirs)) return undo();
  }
  size_t n = 0;
  for (const auto& f : staged.files) {
    const std::string target = plat::pathJoin(destination, f);
    if (!makeFolders(destination, plat::pathDirname(f), &madeDirs)) return undo();
    Placed step{target, {}};
    if (plat::statNoFollow(target)) {
      step.previous = plat::pathJoin(aside, std::to_string(n++));
      if (::rename(target.c_str(), step.previous.c_str()) != 0) return undo();
    }
    placed.push_back(step);
    if (::rename(plat::pathJoin(staged.folder, f).c_str(), target.c_str()) != 0) {
      // Nothing new stands at the target: only an old file goes back.
      if (step.previous.empty()) placed.pop_back();
      return undo();
    }
  }
  plat::removeTree(aside);
  for (const auto& p : placed) unzippedFiles_.push_back(p.target);
  return true;
}

// Opens the current entry and reads its name; on failure tells the delegate
// (`openFailure` when it does not open) and leaves no entry open.
bool ZipWrapper::openCurrentEntry(unz_file_info* info, std::string* name, const char* openFailure) {
  unzFile file = unz(_unzFile);
  // With a password this fails too: the library cannot decrypt.
  if (openEntry(file, password_) != UNZ_OK) {
    OutputErrorMessage(openFailure);
    return false;
  }
  bool ok;
  *name = entryName(file, info, &ok);
  if (!ok) {
    OutputErrorMessage("Error occurs while getting file info");
    unzCloseCurrentFile(file);
    return false;
  }
  return true;
}

std::vector<std::string> ZipWrapper::getZipFileContents() {
  std::vector<std::string> names;
  names.reserve(40);
  unzFile file = unz(_unzFile);
  if (unzGoToFirstFile(file) != UNZ_OK) OutputErrorMessage("Failed");
  for (;;) {
    unz_file_info info;
    std::string name;
    if (!openCurrentEntry(&info, &name, "Error occured")) break;
    toSlashes(name);
    names.push_back(std::move(name));
    // Only the names are wanted: closing unread entries skips their CRC check.
    unzCloseCurrentFile(file);
    if (unzGoToNextFile(file) != UNZ_OK) break;
  }
  return names;
}

plat::Date ZipWrapper::Date1980() {
  struct tm tm {};
  tm.tm_year = 80;
  tm.tm_mon = 0;
  tm.tm_mday = 1;
  tm.tm_isdst = -1;
  return plat::Date{static_cast<double>(mktime(&tm))};
}

void ZipWrapper::OutputErrorMessage(const std::string& message) {
  if (delegate_) delegate_->ErrorMessage(message);
}

bool ZipWrapper::OverWrite(const std::string& file) {
  if (!delegate_) return true;
  return delegate_->OverWriteOperation(file);
}

std::optional<struct stat> ZipWrapperFileManager::attributesOfItemAtPath(const std::string& path,
                                                                         bool followingSymLinks,
                                                                         plat::Error* error) {
  struct stat st;
  int rc = followingSymLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) {
    plat::setError(error, plat::posixError(errno, followingSymLinks ? "stat" : "lstat", path));
    return std::nullopt;
  }
  return st;
}
