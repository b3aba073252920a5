// LinkFolder: the local folders linked to cloud folders of the mount, in
// memory; it maps a cloud path inside a link to its disk path and back. The
// first link in insertion order that holds a path decides.
//
// Threads: any thread may call any operation; each holds the set's own lock
// for its whole run and calls nothing outside the set. What leaves the set
// is a copy or a new text.
#pragma once

#include <mutex>
#include <string>
#include <vector>

struct LinkFolderNode {
  std::string webpath;   // cloud path of the linked folder (LINKNODE srcpath)
  std::string fullpath;  // disk path of the local folder, no trailing slash (dstpath)
  bool operator==(const LinkFolderNode&) const = default;
};

class LinkFolder {
public:
  LinkFolder() = default;
  LinkFolder(const LinkFolder&) = delete;
  LinkFolder& operator=(const LinkFolder&) = delete;

  // Appends one link per node, in order.
  void set(const std::vector<LinkFolderNode>& nodes);
  // The link of an equal cloud path takes the disk path; otherwise appended.
  void add(const std::string& webpath, const std::string& fullpath);
  // same: only the equal link; otherwise also every link under the path.
  bool remove(const std::string& webpath, bool same);
  bool islink(const std::string& webpath) const;
  bool islinkforwebpath(const std::string& webpath) const;
  bool islinkforfullpath(const std::string& fullpath) const;
  // The disk path of a cloud path inside a link, "" when none holds it.
  std::string getnormalpath(const std::string& webpath) const;
  // The cloud path of a disk path inside a link, "" when none holds it.
  std::string getrelativepath(const std::string& fullpath) const;
  std::vector<LinkFolderNode> getlinknodes() const;

private:
  mutable std::mutex _cs;
  std::vector<LinkFolderNode> _nodes;
};
