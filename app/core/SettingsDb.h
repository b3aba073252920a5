// SettingsDb: the per-machine settings and the account that signed in last,
// in "<config>/settings.db". Two tables of one row each: `userinfo` (the
// account, for automatic sign-in) and `settings` (the switches and the
// proxy). Every operation is one block on the file's serial database queue,
// so any thread may call any of them and the caller waits for the result.
//
// Values are always bound as statement parameters. The file holds the
// account password, so it is kept readable by its owner only.
//
// Without a database (the file could not be opened) every setter does
// nothing and every getter answers its default.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SQDatabaseQueue;

class SettingsDb {
public:
  // Opens or creates the file (mode 0600), creates the tables with their
  // one settings row and adds the columns an older file lacks.
  explicit SettingsDb(const std::string& path);
  ~SettingsDb();
  SettingsDb(const SettingsDb&) = delete;
  SettingsDb& operator=(const SettingsDb&) = delete;

  static std::shared_ptr<SettingsDb> initpath(const std::string& path);
  // One instance for the process, made on first use on UserData's
  // getsetting path. The application itself keeps its own instance.
  static std::shared_ptr<SettingsDb> shareSettingDb();

  // Null when the file could not be opened.
  std::shared_ptr<SQDatabaseQueue> dbQueue() const { return dbQueue_; }

  // Opening and upgrade steps; the constructor runs both.
  void createtable();
  void addnewrow();
  // Closes the connection; the next operation opens it again.
  void close();

  // ---- The account row ----
  // Overwrites user name, password, dateline and sync path of the row, or
  // inserts the row when there is none.
  void setuserinfo(const std::string& username, const std::string& password, int64_t dateline,
                   const std::string& syncpath);
  // Deletes every account row of another user name.
  void deleteuserinof(const std::string& username);
  void clearuserinfo();

  std::string getuser();
  void setuser(const std::string& v);
  std::string getpassword();
  void setpassword(const std::string& v);
  int64_t getdateline();
  void setdateline(int64_t v);
  std::string getsyncpath();
  void setsyncpath(const std::string& v);
  int64_t getuserid();
  void setuserid(int64_t v);
  int64_t getmountid();
  void setmountid(int64_t v);
  int64_t getorgid();
  void setorgid(int64_t v);
  std::string getorgname();
  void setorgname(const std::string& v);
  std::string getname();
  void setname(const std::string& v);

  // ---- The settings row ----
  bool getautorun();
  // Adds or removes the login item first, then stores the switch.
  void setautorun(bool v);
  bool getprompt();
  void setprompt(bool v);
  bool getlocal();
  void setlocal(bool v);
  bool gethttps();
  void sethttps(bool v);
  // 0 none, 1 HTTP proxy, 2 SOCKS proxy.
  int64_t getagenttype();
  void setagenttype(int64_t v);
  std::string getagentip();
  void setagentip(const std::string& v);
  int64_t getagentport();
  void setagentport(int64_t v);
  bool getagentneeduser();
  void setagentneeduser(bool v);
  std::string getagentuser();
  void setagentuser(const std::string& v);
  std::string getagentpassword();
  void setagentpassword(const std::string& v);
  bool getblacktray();
  void setblacktray(bool v);
  bool getdelete2recyclebin();
  void setdelete2recyclebin(bool v);
  bool getrightbar();
  void setrightbar(bool v);

private:
  // Distinct names, so a literal text can never pick the BOOL form.
  void updateText(const char* sql, const std::string& v);
  void updateNumber(const char* sql, int64_t v);
  void updateFlag(const char* sql, bool v);
  std::string text(const char* sql, const char* column);
  int64_t number(const char* sql, const char* column);
  bool flag(const char* sql, const char* column, bool noRow);

  // Set once by the constructor; the queue itself serialises every use.
  std::shared_ptr<SQDatabaseQueue> dbQueue_;
};
