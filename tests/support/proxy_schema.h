// A folder holding the compiled copy of the desktop's proxy-settings schema
// (tests/support/data), made with glib-compile-schemas; empty when that fails.
#pragma once

#include <string>

namespace qvtest {

std::string compiledProxySchemaDirectory();

}  // namespace qvtest
