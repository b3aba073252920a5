// Util: the stateless helpers that every part of the main application calls:
// file operations (instead of each part using the file system itself), the
// date texts of log lines and requests, the block bit sets of downloads and
// peer transfers (one bit per 1 MiB block), and the service links, sign-in
// texts and device identity. Any thread may call any of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/ui/window.h"

class AppDelegate;

// indextable[b] is the number of set bits of the byte value b.
extern const uint8_t indextable[256];

class Util {
public:
  // ---- The application object ----
  static AppDelegate& getAppDelegate();

  // ---- File operations: none raises or reports the system's error text ----
  static bool existfile(const std::string& path);
  static bool isdir(const std::string& path);
  static bool createfolder(const std::string& path);
  static bool createfile(const std::string& path);
  static bool isemptydir(const std::string& path);
  // Every sub-path below the folder, relative to it, a folder before its
  // contents; nothing (not an empty list) when the folder cannot be read.
  static std::optional<std::vector<std::string>> subpathsAtPath(const std::string& path);
  static bool movefile(const std::string& from, const std::string& to);
  // A folder is never copied into itself, and a target folder that holds the
  // source is never removed to make way: both are left alone then.
  static bool copyfile(const std::string& from, const std::string& to);
  static bool copyfile(const std::string& from, const std::string& to, bool replace);
  static bool copyfolder(const std::string& from, const std::string& to, bool replace);
  static bool copyfileneedtemp(const std::string& from, const std::string& to);
  static bool deletefile(const std::string& path);
  static bool deletefile2recyclebin(const std::string& path);
  static bool deletefolder(const std::string& path, bool undo);
  static bool deletefileinfolder(const std::string& path, bool undo);
  static uint64_t filesize(const std::string& path);
  static uint64_t filemodifytime(const std::string& path);
  static uint64_t filecreatetime(const std::string& path);
  static bool isfilelock(const std::string& path);
  // false when the flag could not be changed (setting it needs privilege).
  static bool setfilelock(const std::string& path, bool lock);
  static void setfileexthide(const std::string& path);
  static void setfilereadonly(const std::string& path);
  static void setfilereadwirte(const std::string& path);
  static std::optional<std::string> getfilehash(const std::string& path);
  static bool createlink(const std::string& linkPath, const std::string& srcpath);
  static bool checklinkdir(const std::string& path);
  static std::optional<std::string> getlinksrcpath(const std::string& linkPath);
  static bool findspace(const std::string& path);
  static std::string replacespace(const std::string& path);
  static bool checknamecase(const std::string& path);

  // ---- Date texts of the current moment (plat::currentClock()) ----
  static std::string getOnlyDate();  // "2024/01/01 18:00:00", local time
  static std::string getDate();      // "Mon,01 Jan 2024 18:00:00 GMT+8", local time
  static std::string getGMTDate();   // "Mon, 01 Jan 2024 10:00:00 GMT"

  // ---- Texts ----
  static std::string convertFileUnitSize(uint64_t size);
  static bool emailCheckInput(const std::string& text);

  // ---- Block bit sets: the caller owns the bytes; nothing is checked ----
  static int getblockcount(uint64_t filesize);
  static int getbytecount(int64_t count);
  static void setLast(uint8_t* last, int num);
  static void setAll(uint8_t* set, int64_t count);
  static void setNOT(const uint8_t* a, uint8_t* to, int64_t count);
  static void setOR(uint8_t* a, const uint8_t* from, int64_t count);
  static void setMove(uint8_t* a, const uint8_t* from, int64_t count);
  static void setNeedAND(const uint8_t* a, const uint8_t* form2, uint8_t* to, int64_t count);
  static bool isSame(const uint8_t* a, const uint8_t* form2, int64_t count);
  static void setIndex1(uint8_t* set, int64_t count, int64_t index);
  static void setIndex0(uint8_t* set, int64_t count, int64_t index);
  static int getAll(uint8_t* set, int64_t count);
  static int getFrist(uint8_t* set, int64_t count);
  static int getBitindex(uint8_t byte);

  // ---- Service links, sign-in texts and device identity ----
  static std::string getDealWithHttpsOrHttpUrl(const std::string& url);
  static std::string CheckHttpWithUrl(const std::string& url);
  // `time` is the service's last "Date" header; empty before the first.
  static std::string mixtureurl(const std::string& url, const std::string& webpath, const std::string& token,
                                const std::string& time);
  static std::string getOpenBrowserWebUrlInfo(const std::string& json);
  static plat::Dictionary getOpenWindowWebUrlInfo(const std::string& json);
  static bool openWebUrl(const std::string& url);
  static std::string getChangeTokenError(const std::string& error);
  static std::optional<std::string> getcomputerid();
  static std::string getwebloginkey();
  static bool islink();

  // ---- Desktop integration ----
  // The folder at the top of the file manager's sidebar favourites.
  static void addfoldertofavorite(const std::string& path);
  static void deletefolderfavorite(const std::string& path);
  // The login item that starts this program (applicationPath()) at login.
  static void addAppAsLoginItem();
  static bool findAppAsLoginItem();
  static void deleteAppFromLoginItem();
  // The running program's own file.
  static std::string applicationPath();
  // Where a window of that size opens: centred across the main screen, its
  // top 100 points below the screen's top.
  static plat::Point getWindowDisplayOriginPoint(plat::Size size);

  // Seconds since 1970 of an HTTP date text ("Mon, 01 Jan 2024 10:00:00
  // GMT"); empty when the text is not of that form.
  static std::optional<int64_t> serverTimeSeconds(const std::string& time);
};
