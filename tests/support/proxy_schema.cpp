#include "tests/support/proxy_schema.h"

#include <cstdlib>

#include "platform/foundation/file_util.h"

#ifndef QV_TEST_DATA_DIR
#error "QV_TEST_DATA_DIR must name tests/support/data"
#endif

namespace qvtest {

std::string compiledProxySchemaDirectory() {
  static const std::string dir = [] {
    std::string d = plat::makeTemporaryDirectory("qv-schema");
    std::string xml = plat::readFile(std::string(QV_TEST_DATA_DIR) + "/org.gnome.system.proxy.gschema.xml").value_or("");
    if (xml.empty() || !plat::atomicWrite(plat::pathJoin(d, "org.gnome.system.proxy.gschema.xml"), xml)) return std::string();
    std::string cmd = "glib-compile-schemas '" + d + "'";
    return std::system(cmd.c_str()) == 0 ? d : std::string();
  }();
  return dir;
}

}  // namespace qvtest
