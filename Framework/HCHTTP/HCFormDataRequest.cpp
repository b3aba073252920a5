#include "Framework/HCHTTP/HCFormDataRequest.h"

#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/text_encoding.h"
#include "platform/system/secure_random.h"

using plat::Data;
using namespace hchttp;

namespace {

std::string uuidText() {
  std::string h = plat::secureRandomHex(16);
  for (char& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

}  // namespace

HCFormDataRequest::HCFormDataRequest(std::optional<plat::URL> url) : HCHTTPRequest(std::move(url)) {
  setRequestMethod("POST");
}

std::shared_ptr<HCFormDataRequest> HCFormDataRequest::requestWithURL(std::optional<plat::URL> url) {
  return std::make_shared<HCFormDataRequest>(std::move(url));
}

std::shared_ptr<HCFormDataRequest> HCFormDataRequest::requestWithURL(std::string_view url) {
  return requestWithURL(plat::URL::parse(url));
}

// --- fields and files ----------------------------------------------------------------------

void HCFormDataRequest::addPostValue(const std::string& value, const std::optional<std::string>& key) {
  if (!key) return;
  std::lock_guard l(cancelledLock());
  if (!_postData) _postData.emplace();
  _postData->push_back({*key, value});
}

void HCFormDataRequest::setPostValue(const std::string& value, const std::optional<std::string>& key) {
  {
    std::lock_guard l(cancelledLock());
    if (_postData && key) std::erase_if(*_postData, [&](const Field& f) { return f.key == *key; });
  }
  addPostValue(value, key);
}

void HCFormDataRequest::addData(Data data, const std::optional<std::string>& fileName,
                                const std::optional<std::string>& contentType, const std::optional<std::string>& key) {
  if (!key) return;
  std::lock_guard l(cancelledLock());
  if (!_fileData) _fileData.emplace();
  _fileData->push_back(
      {*key, fileName.value_or("file"), contentType.value_or("application/octet-stream"), std::move(data)});
}

void HCFormDataRequest::addData(Data data, const std::optional<std::string>& key) {
  addData(std::move(data), std::string("file"), std::nullopt, key);
}

void HCFormDataRequest::addFile(const std::string& path, const std::optional<std::string>& fileName,
                                const std::optional<std::string>& contentType, const std::optional<std::string>& key) {
  if (!plat::fileExists(path) || plat::isDirectory(path)) {
    failWithError(requestError(HCInternalErrorWhileBuildingRequestType, plat::format("No file exists at %@", path)));
  }
  if (!key) return;
  std::string name = fileName.value_or(plat::pathBasename(path));
  std::string type = contentType ? *contentType : mimeTypeForFileAtPath(path).value_or("application/octet-stream");
  std::lock_guard l(cancelledLock());
  if (!_fileData) _fileData.emplace();
  _fileData->push_back({*key, name, type, path});
}

void HCFormDataRequest::addFile(const std::string& path, const std::optional<std::string>& key) {
  addFile(path, std::nullopt, std::nullopt, key);
}

void HCFormDataRequest::setData(Data data, const std::optional<std::string>& fileName,
                                const std::optional<std::string>& contentType, const std::optional<std::string>& key) {
  {
    std::lock_guard l(cancelledLock());
    if (_fileData && key) std::erase_if(*_fileData, [&](const File& f) { return f.key == *key; });
  }
  addData(std::move(data), fileName, contentType, key);
}

void HCFormDataRequest::setData(Data data, const std::optional<std::string>& key) {
  setData(std::move(data), std::string("file"), std::nullopt, key);
}

void HCFormDataRequest::setFile(const std::string& path, const std::optional<std::string>& fileName,
                                const std::optional<std::string>& contentType, const std::optional<std::string>& key) {
  {
    std::lock_guard l(cancelledLock());
    if (_fileData && key) std::erase_if(*_fileData, [&](const File& f) { return f.key == *key; });
  }
  addFile(path, fileName, contentType, key);
}

void HCFormDataRequest::setFile(const std::string& path, const std::optional<std::string>& key) {
  setFile(path, std::nullopt, std::nullopt, key);
}

std::vector<HCFormDataRequest::Field> HCFormDataRequest::postData() const {
  std::lock_guard l(cancelledLock());
  return _postData.value_or(std::vector<Field>{});
}
std::vector<HCFormDataRequest::File> HCFormDataRequest::fileData() const {
  std::lock_guard l(cancelledLock());
  return _fileData.value_or(std::vector<File>{});
}
int HCFormDataRequest::postFormat() const {
  std::lock_guard l(cancelledLock());
  return _postFormat;
}
void HCFormDataRequest::setPostFormat(int format) {
  std::lock_guard l(cancelledLock());
  _postFormat = format;
}
HCStringEncoding HCFormDataRequest::stringEncoding() const {
  std::lock_guard l(cancelledLock());
  return _stringEncoding;
}
void HCFormDataRequest::setStringEncoding(HCStringEncoding encoding) {
  std::lock_guard l(cancelledLock());
  _stringEncoding = encoding;
}

// --- the body ----------------------------------------------------------------------------------

void HCFormDataRequest::buildPostBody() {
  std::lock_guard l(cancelledLock());
  if (haveBuiltPostBody()) return;
  if (!_postData && !_fileData) {
    HCHTTPRequest::buildPostBody();
    return;
  }
  if (_fileData && !_fileData->empty()) setShouldStreamPostDataFromDisk(true);
  if (_postFormat == HCURLEncodedPostFormat) {
    buildURLEncodedPostBodyLocked();
  } else {
    buildMultipartFormDataPostBodyLocked();
  }
  if (error()) return;
  HCHTTPRequest::buildPostBody();
}

void HCFormDataRequest::buildURLEncodedPostBodyLocked() {
  if (_fileData && !_fileData->empty()) {
    _postFormat = HCMultipartFormDataPostFormat;
    buildMultipartFormDataPostBodyLocked();
    return;
  }
  addRequestHeader("Content-Type", plat::format("application/x-www-form-urlencoded; charset=%@",
                                                IANACharSetNameForEncoding(_stringEncoding).value_or("utf-8")));
  const auto fields = _postData.value_or(std::vector<Field>{});
  for (size_t i = 0; i < fields.size(); ++i) {
    appendPostString(plat::format("%@=%@%@", encodeURL(fields[i].key), encodeURL(fields[i].value),
                                  i + 1 < fields.size() ? "&" : ""));
  }
}

std::optional<std::string> HCFormDataRequest::partHeaderText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') {
      failWithError(requestError(HCInternalErrorWhileBuildingRequestType,
                                 plat::format("A form part's name can't hold a line break: %@", text)));
      return std::nullopt;
    }
    if (c == '"') {
      out += "%22";
    } else {
      out += c;
    }
  }
  return out;
}

void HCFormDataRequest::buildMultipartFormDataPostBodyLocked() {
  const std::string charset = IANACharSetNameForEncoding(_stringEncoding).value_or("utf-8");
  const std::string boundary = "0xKhTmLbOuNdArY-" + uuidText();
  addRequestHeader("Content-Type", plat::format("multipart/form-data; charset=%@; boundary=%@", charset, boundary));
  const auto fields = _postData.value_or(std::vector<Field>{});
  const auto files = _fileData.value_or(std::vector<File>{});
  // Every header text is checked before the first byte is written.
  std::vector<std::string> names, fileNames, types;
  for (const auto& f : fields) {
    auto n = partHeaderText(f.key);
    if (!n) return;
    names.push_back(*n);
  }
  for (const auto& f : files) {
    auto n = partHeaderText(f.key);
    auto fn = partHeaderText(f.fileName);
    auto t = partHeaderText(f.contentType);
    if (!n || !fn || !t) return;
    names.push_back(*n);
    fileNames.push_back(*fn);
    types.push_back(*t);
  }
  appendPostString(plat::format("--%@\r\n", boundary));
  for (size_t i = 0; i < fields.size(); ++i) {
    appendPostString(plat::format("Content-Disposition: form-data; name=\"%@\"\r\n\r\n", names[i]));
    appendPostString(fields[i].value);
    if (i + 1 < fields.size() || !files.empty()) appendPostString(plat::format("\r\n--%@\r\n", boundary));
  }
  for (size_t i = 0; i < files.size(); ++i) {
    appendPostString(plat::format("Content-Disposition: form-data; name=\"%@\"; filename=\"%@\"\r\n",
                                  names[fields.size() + i], fileNames[i]));
    appendPostString(plat::format("Content-Type: %@\r\n\r\n", types[i]));
    if (const auto* path = std::get_if<std::string>(&files[i].data)) {
      appendPostDataFromFile(*path);
    } else {
      appendPostData(std::get<Data>(files[i].data));
    }
    if (i + 1 < files.size()) appendPostString(plat::format("\r\n--%@\r\n", boundary));
  }
  appendPostString(plat::format("\r\n--%@--\r\n", boundary));
}

void HCFormDataRequest::appendPostString(const std::string& text) {
  auto bytes = dataWithString(text, stringEncoding());
  if (!bytes) {
    failWithError(requestError(HCInternalErrorWhileBuildingRequestType,
                               "A form text can't be written in the form's encoding"));
    return;
  }
  appendPostData(*bytes);
}

std::string HCFormDataRequest::encodeURL(const std::string& text) const {
  auto bytes = dataWithString(text, stringEncoding());
  if (!bytes) return "";
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (uint8_t c : *bytes) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::shared_ptr<HCHTTPRequest> HCFormDataRequest::makeCopyTarget() const {
  std::lock_guard l(cancelledLock());
  auto r = std::make_shared<HCFormDataRequest>(url());
  // New lists holding the same entries.
  r->_postData = _postData;
  r->_fileData = _fileData;
  r->_postFormat = _postFormat;
  r->_stringEncoding = _stringEncoding;
  return r;
}

// --- encodings -------------------------------------------------------------------------------------

std::optional<std::string> HCFormDataRequest::IANACharSetNameForEncoding(HCStringEncoding encoding) {
  switch (encoding) {
    case HCUTF8StringEncoding: return std::string("utf-8");
    case HCASCIIStringEncoding: return std::string("us-ascii");
    case HCISOLatin1StringEncoding: return std::string("iso-8859-1");
    case HCUTF16StringEncoding: return std::string("utf-16");
    case HCWindowsCP1252StringEncoding: return std::string("windows-1252");
    case HCGB18030StringEncoding: return std::string("gb18030");
    case HCBig5StringEncoding: return std::string("big5");
    default: return std::nullopt;
  }
}

std::optional<Data> HCFormDataRequest::dataWithString(const std::string& text, HCStringEncoding encoding) {
  if (encoding == HCUTF8StringEncoding) return Data(text.begin(), text.end());
  auto name = IANACharSetNameForEncoding(encoding);
  if (!name) return std::nullopt;
  auto bytes = plat::convertText(text, name->c_str(), "UTF-8");
  if (!bytes) return std::nullopt;
  return Data(bytes->begin(), bytes->end());
}
