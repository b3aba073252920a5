// HCFormDataRequest: a request that posts form fields and files, as an
// "application/x-www-form-urlencoded" body or, once any file is added (or
// when asked for), as "multipart/form-data". Field names, file names and
// content types go into part headers: a quote in them is written as %22
// and a line break fails the request, so no part header can be forged.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Framework/HCHTTP/HCHTTPRequest.h"

enum HCPostFormat { HCMultipartFormDataPostFormat = 0, HCURLEncodedPostFormat = 1 };

class HCFormDataRequest : public HCHTTPRequest {
public:
  struct Field {
    std::string key;
    std::string value;
  };
  struct File {
    std::string key;
    std::string fileName;
    std::string contentType;
    std::variant<plat::Data, std::string> data;  // bytes, or the path of a file streamed from disk
  };

  explicit HCFormDataRequest(std::optional<plat::URL> url);
  static std::shared_ptr<HCFormDataRequest> requestWithURL(std::optional<plat::URL> url);
  static std::shared_ptr<HCFormDataRequest> requestWithURL(std::string_view url);

  void addPostValue(const std::string& value, const std::optional<std::string>& key);
  void setPostValue(const std::string& value, const std::optional<std::string>& key);
  void addData(plat::Data data, const std::optional<std::string>& fileName,
               const std::optional<std::string>& contentType, const std::optional<std::string>& key);
  void addData(plat::Data data, const std::optional<std::string>& key);
  void addFile(const std::string& path, const std::optional<std::string>& fileName,
               const std::optional<std::string>& contentType, const std::optional<std::string>& key);
  void addFile(const std::string& path, const std::optional<std::string>& key);
  void setData(plat::Data data, const std::optional<std::string>& fileName,
               const std::optional<std::string>& contentType, const std::optional<std::string>& key);
  void setData(plat::Data data, const std::optional<std::string>& key);
  void setFile(const std::string& path, const std::optional<std::string>& fileName,
               const std::optional<std::string>& contentType, const std::optional<std::string>& key);
  void setFile(const std::string& path, const std::optional<std::string>& key);

  void buildPostBody() override;
  std::shared_ptr<HCHTTPRequest> makeCopyTarget() const override;
  // Appends the text in stringEncoding.
  void appendPostString(const std::string& text);
  // Percent-escapes all but letters, digits, "-", "." and "_"; empty when
  // the text can't be written in stringEncoding.
  std::string encodeURL(const std::string& text) const;

  std::vector<Field> postData() const;
  std::vector<File> fileData() const;
  int postFormat() const;
  void setPostFormat(int format);
  HCStringEncoding stringEncoding() const;
  void setStringEncoding(HCStringEncoding encoding);

  // The IANA name of an encoding ("utf-8"); none for one without a name here.
  static std::optional<std::string> IANACharSetNameForEncoding(HCStringEncoding encoding);
  // UTF-8 text as bytes of the encoding; none when a character has no form in it.
  static std::optional<plat::Data> dataWithString(const std::string& text, HCStringEncoding encoding);

private:
  void buildURLEncodedPostBodyLocked();
  void buildMultipartFormDataPostBodyLocked();
  std::optional<std::string> partHeaderText(const std::string& text);

  std::optional<std::vector<Field>> _postData;
  std::optional<std::vector<File>> _fileData;
  int _postFormat = HCURLEncodedPostFormat;
  HCStringEncoding _stringEncoding = HCUTF8StringEncoding;
};
