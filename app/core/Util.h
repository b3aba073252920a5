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

class AppServices;

// indextable[b] is the number of set bits of the byte value b.
extern const uint8_t indextable[256];

class Util {
public:
  // ---- The application object ----
  static AppServices& getAppDelegate();

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
  // A text as the inside of a JSON string ("/" written "\/", as the pages
  // have always had paths); quotes and control characters escaped.
  static std::string jsonText(const std::string& s);
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
  // The web site's page `page` through the signed single-sign-on link, with
  // the account's token and the service's last time.
  static std::string signedSiteLink(const std::string& page);
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
  // The folder's own icon in the file manager: the program's "folder" icon.
  static void setSyncDirectoryIcon(const std::string& path);
  // The login item that starts this program (applicationPath()) at login.
  static void addAppAsLoginItem();
  static bool findAppAsLoginItem();
  static void deleteAppFromLoginItem();
  // Opens a file or folder with the desktop's default application; a file
  // that would run something when opened (isRunnable) is shown in its
  // folder instead.
  static void openFile(const std::string& path);
  // An executable, a script (by its name or a "#!" line) or a desktop entry.
  static bool isRunnable(const std::string& path);
  // The running program's own file.
  static std::string applicationPath();
  // The program's path: a name without "/" looked up in PATH; "" when no
  // executable file of that name is there.
  static std::string findProgram(const std::string& name);
  // Where a window of that size opens: centred across the main screen, its
  // top 100 points below the screen's top.
  static plat::Point getWindowDisplayOriginPoint(plat::Size size);

  // ---- The file manager's plug-in (UtilPlugin.cpp) ----
  // The program's own copy of the plug-in: "<resources>/finder-plugin",
  // holding the module and its emblems' folder.
  static std::string ownQuorvaPlugin();
  // The file manager's extension folder (its system folder unless set).
  static std::string pluginExtensionFolder();
  static void setPluginExtensionFolder(std::string folder);
  // The command put in front of the copy when it needs administrator
  // rights: "pkexec" unless this process is root; tests set their own.
  static std::vector<std::string> elevation();
  static void setElevation(std::optional<std::vector<std::string>> prefix);
  // Installs the module when it is absent or differs from the program's
  // copy, then asks the file manager to take it up.
  static void initWithQuorvaPlugin();
  // Quits the file manager, copies the plug-in with administrator rights
  // (removing the installed one first when asked) and starts it again.
  static void setQuorvaPlugin(const std::string& ownPlugin, bool isRemove);
  static bool copyFileWithElevatedPrivilegesFromLocation(const std::string& from, const std::string& to, bool isRemove);
  // Waits a second, then has the plug-in redraw every file it shows.
  static void refreshFinder();
  // Tells when the file manager has no plug-in to load.
  static void startQVKJload();
  static constexpr const char* kPluginModule = "libquorva-nautilus.so";
  static constexpr const char* kPluginResources = "quorva-finder-plugin";

  // ---- UI packages (UIResource.cpp) ----
  // The program's resources: "<program's folder>/Resources" unless set.
  static std::string resourcePath();
  static void setResourcePath(std::string path);
  // Brings "<config>/UI/<name>/chs/<page>" up to date: with `set`, from the
  // program's package "<resources>/UI/<name>.zip"; otherwise from a
  // downloaded "<config>/UI/Temp/<name>.zip" that carries a good signature
  // ("<name>.zip.sig"), or the program's package when the page is missing.
  static void initLoadResourcFileName(const std::string& name, const std::string& page, bool set);
  // At start-up: both packages, over whatever is there when this layout
  // version has not been unpacked yet ("versionquorva" below 2).
  static void loadUIPackages();
  // The Ed25519 public key (32 bytes) that signs downloaded packages; none
  // (the default) keeps every downloaded package out.
  // The same key signs the installer's digest.
  static void setUIPackageKey(plat::Data key);
  static plat::Data uiPackageKey();
  static bool verifyUIPackage(const std::string& package, const std::string& signature);
  // An Ed25519 signature of `message` by that key.
  static bool verifyUpdateSignature(std::string_view message, std::string_view signature);
  // The key of "<resources>/update-key.pub" (64 hexadecimal digits), unless
  // one is set already.
  static void loadUpdateKey();

  // Seconds since 1970 of an HTTP date text ("Mon, 01 Jan 2024 10:00:00
  // GMT"); empty when the text is not of that form.
  static std::optional<int64_t> serverTimeSeconds(const std::string& time);
};
