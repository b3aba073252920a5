#include "platform/foundation/error.h"

namespace plat {

Error Error::withDescription(std::string domain, long code, std::string description,
                             std::shared_ptr<const Error> underlying) {
  Dictionary info;
  info.set(kLocalizedDescriptionKey, Value(std::move(description)));
  return Error(std::move(domain), code, std::move(info), std::move(underlying));
}

std::string Error::localizedDescription() const {
  const Value* v = userInfo_.find(kLocalizedDescriptionKey);
  if (v && v->isString()) return v->string();
  return "The operation couldn't be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::string Error::description() const {
  return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription() + "\"";
}

void throwInvalidParameter(const char* condition) {
  throw Exception(kInternalInconsistencyException, std::string("Invalid parameter not satisfying: ") + condition);
}

}  // namespace plat
