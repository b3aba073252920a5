// UserData: the signed-in account held in memory, and the one place that
// knows the layout of the configuration folder ".quorvacfg" in the home
// folder. Every thread reads the account fields; a renewal replaces the
// tokens while others read them, so every text is handed out whole (old or
// new, never half of each) and the numbers are atomic.
//
// Nothing is kept on disk here: the account row lives in the settings
// database and is copied in by the login code.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/QVMenuItem.h"
#include "platform/foundation/value.h"

class UserData {
public:
  // The main application's OAuth client identifier.
  static constexpr const char* kClientId = "3e7a19c05d4b82f6a0c1e9d47b2f5a68";

  // Fixes the configuration folder on the home folder, migrates an earlier
  // folder and reads the device id. Does not create the folder.
  UserData();
  UserData(const UserData&) = delete;
  UserData& operator=(const UserData&) = delete;

  std::string userName() const;
  void setUserName(std::string v);
  std::string userPassword() const;
  void setUserPassword(std::string v);
  std::string userToken() const;
  void setUserToken(std::string v);
  std::string refreshToken() const;
  void setRefreshToken(std::string v);
  // Replaces the three token fields in one step.
  void setTokens(std::string userToken, std::string refreshToken, int64_t expiresTime);
  int64_t expiresTime() const { return expiresTime_.load(); }
  void setExpiresTime(int64_t v) { expiresTime_.store(v); }
  int64_t orgID() const { return orgID_.load(); }
  void setOrgID(int64_t v) { orgID_.store(v); }
  std::string orgName() const;
  void setOrgName(std::string v);
  std::string orgUserName() const;
  void setOrgUserName(std::string v);
  int64_t userID() const { return userID_.load(); }
  void setUserID(int64_t v) { userID_.store(v); }
  std::optional<std::string> userEmail() const;
  void setUserEmail(std::optional<std::string> v);
  std::optional<std::string> userWebName() const;
  void setUserWebName(std::optional<std::string> v);
  std::optional<std::string> userPhoto() const;
  void setUserPhoto(std::optional<std::string> v);
  int64_t mountID() const { return mountID_.load(); }
  void setMountID(int64_t v) { mountID_.store(v); }
  int64_t mountsize() const { return mountsize_.load(); }
  void setMountsize(int64_t v) { mountsize_.store(v); }
  int64_t usersize() const { return usersize_.load(); }
  void setUsersize(int64_t v) { usersize_.store(v); }
  int64_t orgsize() const { return orgsize_.load(); }
  void setOrgsize(int64_t v) { orgsize_.store(v); }
  std::string configPath() const { return configPath_; }
  std::optional<std::string> computerid() const;
  void setComputerid(std::optional<std::string> v);
  std::vector<QVMenuItem> menuArray() const;
  void setMenuArray(std::vector<QVMenuItem> items);
  plat::Array historyArray() const;
  void setHistoryArray(plat::Array entries);
  std::string jsonUserinfo() const;
  void setJsonUserinfo(std::string v);

  // ---- The configuration folder ----
  std::string getconfigpath() const { return configPath_; }
  std::string getsetting() const;
  std::string getmountpath() const;
  std::string getmountdb() const;     // creates the per-user folder
  std::string getoldmountdb() const;  // creates the per-user folder
  std::string getcache() const;       // creates the per-user folder
  std::string getmsgpath() const;
  std::string gettranscache() const;  // creates the per-mount folder
  std::string getsyncdb() const;      // creates the per-mount folder
  std::string getoldsyncdb() const;   // creates the per-mount folder
  std::string getappupdatepath() const;
  static std::string getsyncpath(const std::string& folder);
  static std::string getnormalpath();
  static std::string getmountname();

  // ---- The device, as every OAuth request describes it ----
  std::string getinfo() const;
  // The description of a device of that brand, system version and user, a
  // JSON object whatever the names hold.
  static std::string infoOf(const std::string& brand, const std::string& version, const std::string& display);
  std::optional<std::string> getdevice() const { return computerid(); }
  static std::string getcomputer();
  static std::string getcomputerusername();
  static std::string getcomputertype();
  // The model part of a computer name: Office “iMac” gives iMac.
  static std::string computertypeOf(const std::string& name);
  static std::string getversion();

  // The storage line of the status menu.
  std::string getsize() const;

  // Renews the access token with the refresh token, on the caller's thread.
  // Renewals asked for while one is on the way wait for it and take its
  // outcome instead of sending another. A refusal by the service logs the
  // user out and reopens the login page. Defined with the service calls
  // (app/interface), which it needs.
  void regettoken();

  // Moves the databases of the earlier folder "quorvacfg" into the
  // configuration folder; called by the constructor.
  void moveoldconfig();

private:
  std::string mountFolder() const;  // "<config>/<user id>/<mount id>"

  mutable std::mutex mutex_;  // guards every text and the two arrays
  std::string userName_, userPassword_, userToken_, refreshToken_;
  std::atomic<int64_t> expiresTime_{18000};
  std::atomic<int64_t> orgID_{0};
  std::string orgName_, orgUserName_;
  std::atomic<int64_t> userID_{0};
  std::optional<std::string> userEmail_, userWebName_, userPhoto_;
  std::atomic<int64_t> mountID_{0};
  std::atomic<int64_t> mountsize_{0};
  std::atomic<int64_t> usersize_{0};
  std::atomic<int64_t> orgsize_{0};
  std::string configPath_;
  std::optional<std::string> computerid_;
  std::vector<QVMenuItem> menuArray_;
  plat::Array historyArray_;
  std::string jsonUserinfo_;

  std::mutex renewMutex_;              // one renewal on the wire at a time
  std::atomic<uint64_t> renewals_{0};  // renewals finished, whatever their outcome
};
