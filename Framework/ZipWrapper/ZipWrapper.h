// Writing and reading zip archives on disk over minizip. The client core only
// reads: it unpacks a downloaded UI package with UnzipOpenFile, UnzipFileTo
// (overwrite, no delegate) and UnzipCloseFile.
//
// Unpacking goes to a private folder beside the destination and reaches the
// destination only after every entry was read and checked, so a refused, cut
// or corrupt package leaves the destination as it was; a placement that fails
// part way puts back what it had replaced. What a package may unpack to is
// bounded (Limits): bytes in all, entries, name length and folder depth.
//
// One object belongs to one thread at a time; it holds at most one archive
// open for writing and one for reading.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// Both operations are optional: the defaults stand for a delegate that does
// not answer them.
class ZipWrapperDelegate {
public:
  virtual ~ZipWrapperDelegate() = default;
  virtual void ErrorMessage(const std::string& message) { (void)message; }
  // Asked before an existing file is replaced when unpacking without
  // overwrite; false keeps the file and skips the entry.
  virtual bool OverWriteOperation(const std::string& path) {
    (void)path;
    return true;
  }
};

class ZipWrapper {
public:
  // Percentage, entries done, total entries.
  using ProgressBlock = std::function<void(int, int, int)>;
  struct Limits {
    uint64_t totalBytes = uint64_t{512} << 20;  // unpacked, all entries together
    int entries = 65536;
    size_t nameBytes = 1024;
    int depth = 64;  // folders above an entry
  };

  ZipWrapper() = default;
  ~ZipWrapper();
  ZipWrapper(const ZipWrapper&) = delete;
  ZipWrapper& operator=(const ZipWrapper&) = delete;

  bool CreateZipFile2(const std::string& zipFile);
  bool CreateZipFile2(const std::string& zipFile, const std::string& password);
  bool addFileToZip(const std::string& file, const std::string& newname);
  bool CloseZipFile2();

  bool UnzipOpenFile(const std::string& zipFile);
  bool UnzipOpenFile(const std::string& zipFile, const std::string& password);
  bool UnzipFileTo(const std::string& path, bool overwrite);
  bool UnzipCloseFile();
  std::vector<std::string> getZipFileContents();

  // Midnight of 1 January 1980 in the local time zone.
  static plat::Date Date1980();

  void OutputErrorMessage(const std::string& message);
  bool OverWrite(const std::string& file);

  const std::shared_ptr<ZipWrapperDelegate>& delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<ZipWrapperDelegate> d) { delegate_ = std::move(d); }
  int numFiles() const { return numFiles_; }
  const std::string& password() const { return password_; }
  void setPassword(std::string p) { password_ = std::move(p); }
  const std::vector<std::string>& unzippedFiles() const { return unzippedFiles_; }
  const Limits& limits() const { return limits_; }
  void setLimits(Limits l) { limits_ = l; }
  const ProgressBlock& progressBlock() const { return progressBlock_; }
  void setProgressBlock(ProgressBlock b) { progressBlock_ = std::move(b); }

private:
  struct Staged;
  bool openCurrentEntry(struct unz_file_info_s* info, std::string* name, const char* openFailure);
  bool extractEntries(const std::string& destination, bool overwrite, Staged& staged);
  bool placeStaged(const std::string& destination, const Staged& staged);

  void* _zipFile = nullptr;  // zipFile
  void* _unzFile = nullptr;  // unzFile
  int numFiles_ = 0;
  std::string password_;
  std::shared_ptr<ZipWrapperDelegate> delegate_;
  ProgressBlock progressBlock_;
  Limits limits_;
  std::vector<std::string> unzippedFiles_;
};

// NSFileManager(ZipWrapper): the attributes of a path, through symbolic
// links when asked (the kernel resolves each link against the folder that
// holds it, and refuses a loop).
namespace ZipWrapperFileManager {
std::optional<struct stat> attributesOfItemAtPath(const std::string& path, bool followingSymLinks,
                                                  plat::Error* error = nullptr);
}
