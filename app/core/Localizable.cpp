#include "app/core/Localizable.h"

#include <map>

namespace {

const std::map<std::string, std::string>& table() {
  static const std::map<std::string, std::string> t = {
      // Menus.
      {"OpenWebQuorva", "访问Quorva网站"},
      {"Logout", "注销"},
      {"BrowserRecord", "最近打开"},
      {"StartQuorva", "启动Quorva"},
      {"TransmissionQueue", "传输队列"},
      {"StopSync", "暂停同步"},
      {"StartSync", "开始同步"},
      {"SoftwareSetting", "软件设置"},
      {"NewIntroduction", "新功能介绍"},
      {"SoftwareUpdate", "软件更新"},
      {"OnlineHelper", "在线帮助"},
      {"About", "关于Quorva"},
      {"QuitApp", "退出Quorva"},
      {"OpenSyncFolder", "打开同步文件夹"},
      {"UpdateList", "动态列表"},
      // Notices.
      {"QuorvaTechnology", "Quorva科技"},
      {"USB Device Connected", "USB设备已连接"},
      {"USB Device Disconnected", "USB设备已断开"},
      {"Volume Mounted", "卷已装载"},
      {"Volume Unmounted", "卷已卸载"},
      {"Bluetooth Device Connected", "蓝牙设备已连接"},
      {"Bluetooth Device Disconnected", "蓝牙设备已断开"},
      {"FireWire Device Connected", "火线设备已连接"},
      {"FireWire Device Disconnected", "Quorva通知"},
      {"Network Link Up", "网络已连接"},
      {"Network Link Down", "网络已断开"},
      {"IP Acquired", "已获得IP地址"},
      {"IP Released", "已释放IP地址"},
      {"AirPort Connected", "无线网络已连接"},
      {"AirPort Disconnected", "无线网络已断开"},
      {"Sync started", "同步开始"},
      {"Sync finished", "同步完成"},
      {"Switched to A/C Power", "已切换到交流电源"},
      {"Switched to Battery Power", "已切换到电池电源"},
      {"Switched to UPS Power", "已切换到UPS电源"},
  };
  return t;
}

}  // namespace

std::string NSLocalizedString(const std::string& key) {
  auto it = table().find(key);
  return it == table().end() ? key : it->second;
}

bool hasLocalizedString(const std::string& key) { return table().count(key) != 0; }
