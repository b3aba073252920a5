#include "app/core/GetMenuXML.h"

#include <libxml/parser.h>

#include <mutex>

#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"

// The SAX callbacks of libxml2, handed to the reader. No entity is declared
// or fetched (the handler has no entity callbacks and the network is off),
// so a document can't expand itself or reach outside.
struct MenuParserEvents {
  static GetMenuXML* self(void* ctx) { return static_cast<GetMenuXML*>(ctx); }
  static void start(void* ctx, const xmlChar* name, const xmlChar**) {
    self(ctx)->didStartElement(reinterpret_cast<const char*>(name));
  }
  static void end(void* ctx, const xmlChar* name) { self(ctx)->didEndElement(reinterpret_cast<const char*>(name)); }
  static void characters(void* ctx, const xmlChar* ch, int len) {
    self(ctx)->foundCharacters(std::string(reinterpret_cast<const char*>(ch), static_cast<size_t>(len)));
  }
  static void quiet(void*, const char*, ...) {}
};

namespace {

std::string configFolder() {
  auto ud = Util::getAppDelegate().userdata();
  return ud ? ud->configPath() : plat::homeDirectory() + "/.quorvacfg";
}

std::optional<std::string> readDocument(const std::string& path) {
  auto size = plat::fileSize(path);
  if (!size || *size > GetMenuXML::kMaxDocumentSize) return std::nullopt;
  return plat::readFile(path);
}

}  // namespace

std::string GetMenuXML::menuPath(const std::string& config) {
  return plat::format("%@/UI/default/chs/menu.xml", config);
}

std::string GetMenuXML::lastGoodPath(const std::string& config) {
  return plat::format("%@/UI/menu.lastgood.xml", config);
}

GetMenuXML::GetMenuXML() : GetMenuXML(menuPath(configFolder()), lastGoodPath(configFolder())) {}

GetMenuXML::GetMenuXML(std::string path, std::string lastGood)
    : path_(std::move(path)), lastGoodPath_(std::move(lastGood)) {
  auto text = readDocument(path_);
  if (!text) return;  // missing or unreadable: no entries
  if (auto items = parse(*text)) {
    arrMenuNode = std::move(*items);
    if (!lastGoodPath_.empty() && plat::readFile(lastGoodPath_) != text) plat::atomicWrite(lastGoodPath_, *text);
    return;
  }
  plat::log("menu document %@ is not well-formed; the last good menu stays", path_);
  if (auto good = readDocument(lastGoodPath_)) {
    if (auto items = parse(*good)) arrMenuNode = std::move(*items);
  }
}

std::optional<std::vector<QVMenuItem>> GetMenuXML::parse(const std::string& text) {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  if (text.size() > kMaxDocumentSize) return std::nullopt;
  xmlSAXHandler handler{};
  handler.startElement = &MenuParserEvents::start;
  handler.endElement = &MenuParserEvents::end;
  handler.characters = &MenuParserEvents::characters;
  handler.cdataBlock = &MenuParserEvents::characters;
  handler.warning = &MenuParserEvents::quiet;
  handler.error = &MenuParserEvents::quiet;
  handler.fatalError = &MenuParserEvents::quiet;
  GetMenuXML reader{std::string(), std::string()};
  const int rc = xmlSAXUserParseMemory(&handler, &reader, text.data(), static_cast<int>(text.size()));
  if (rc != 0) return std::nullopt;
  return std::move(reader.arrMenuNode);
}

void GetMenuXML::didStartElement(const std::string& name) {
  flagStartNode = true;
  strCurrentElement = name;
  if (name == "item") menuItem = QVMenuItem();
}

void GetMenuXML::foundCharacters(const std::string& text) {
  if (!flagStartNode) return;
  // The url may come in pieces (around an entity): they are joined. Every
  // other field takes the piece that came last.
  menuItem.appendField(strCurrentElement, text);
}

void GetMenuXML::didEndElement(const std::string& name) {
  flagStartNode = false;
  if (name == "item") arrMenuNode.push_back(menuItem);
}
