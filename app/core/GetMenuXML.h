// GetMenuXML: reads the web menu, the document "menu.xml" of the unpacked
// "default" UI package, into QVMenuItem records in document order. One
// record per "item" element; its child elements give the fields.
//
// A document that is not well-formed is not used: the menu of the last
// well-formed document read ("<config>/UI/menu.lastgood.xml", kept at each
// good read) stands instead, so a broken package can't empty or garble the
// menus. A missing document gives no entries.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/core/QVMenuItem.h"

class GetMenuXML {
public:
  // The most a menu document may hold; a larger one is not read.
  static constexpr size_t kMaxDocumentSize = 1 << 20;

  // Reads "<config>/UI/default/chs/menu.xml" of the signed-in configuration folder.
  GetMenuXML();
  // Reads `path`, falling back on `lastGoodPath` (and refreshing it).
  GetMenuXML(std::string path, std::string lastGoodPath);

  const std::vector<QVMenuItem>& getMenuArrayInfo() const { return arrMenuNode; }
  // A new reader that parses the document again.
  GetMenuXML copy() const { return GetMenuXML(path_, lastGoodPath_); }

  // The records of a document; nothing when it is not well-formed.
  static std::optional<std::vector<QVMenuItem>> parse(const std::string& text);

  static std::string menuPath(const std::string& config);
  static std::string lastGoodPath(const std::string& config);

private:
  // The event parser's calls.
  void didStartElement(const std::string& name);
  void foundCharacters(const std::string& text);
  void didEndElement(const std::string& name);
  friend struct MenuParserEvents;

  std::string path_, lastGoodPath_;
  std::vector<QVMenuItem> arrMenuNode;
  QVMenuItem menuItem;
  std::string strCurrentElement;
  bool flagStartNode = false;
};
