// QVMenuItem: one entry of the web menu that the menu document of the
// "default" UI package defines. Its index in the account's menu array is how
// the rest of the client (the sync database, the Finder plug-in's menu)
// names the entry.
#pragma once

#include <cstdint>
#include <string>

class QVMenuItem {
public:
  QVMenuItem() = default;

  // The window title of the page the entry opens; the MENU table's name.
  const std::string& title() const { return title_; }
  void setTitle(std::string v) { title_ = std::move(v); }
  const std::string& icon() const { return icon_; }
  void setIcon(std::string v) { icon_ = std::move(v); }
  int64_t status() const { return status_; }
  void setStatus(int64_t v) { status_ = v; }
  // "gMain" opens the page, "gFavorite" adds the folder to the favourites,
  // "gLock" does nothing here.
  const std::string& action() const { return action_; }
  void setAction(std::string v) { action_ = std::move(v); }
  // The page, relative to the web site.
  const std::string& url() const { return url_; }
  void setUrl(std::string v) { url_ = std::move(v); }
  // Not 0: the page opens through the signed single-sign-on link.
  int64_t sso() const { return sso_; }
  void setSso(int64_t v) { sso_ = v; }
  int64_t resize() const { return resize_; }
  void setResize(int64_t v) { resize_ = v; }
  int64_t width() const { return width_; }
  void setWidth(int64_t v) { width_ = v; }
  int64_t height() const { return height_; }
  void setHeight(int64_t v) { height_ = v; }

  // The menu document gives every field as text: the numbers take the
  // integer value of theirs, "url" may come in pieces that are joined, and
  // names the record has no field for are passed over. False for those.
  bool setField(const std::string& name, const std::string& text);
  bool appendField(const std::string& name, const std::string& text);

  bool operator==(const QVMenuItem&) const = default;

private:
  std::string title_;
  std::string icon_;
  int64_t status_ = 0;
  std::string url_;
  std::string action_;
  int64_t sso_ = 0;
  int64_t resize_ = 0;
  int64_t width_ = 0;
  int64_t height_ = 0;
};
