// Tests only: where the gui tests put their pictures, and the check that a
// picture was saved. QV_SCREENSHOTS is the folder the test program is built
// with.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/file_util.h"

#ifndef QV_SCREENSHOTS
#define QV_SCREENSHOTS "."
#endif

namespace qvtest {

// The path of picture `name`; the folder is made on first use.
inline std::string screenshotPath(const std::string& name) {
  plat::makeDirectories(QV_SCREENSHOTS);
  return std::string(QV_SCREENSHOTS) + "/" + name;
}

// `saved`: what the saving said. A picture of something holds more than a
// blank file's bytes.
inline ::testing::AssertionResult pictureSaved(bool saved, const std::string& path) {
  if (!saved) return ::testing::AssertionFailure() << path << " was not saved";
  const auto size = plat::fileSize(path).value_or(0);
  if (size <= 1000u) return ::testing::AssertionFailure() << path << " holds only " << size << " bytes";
  return ::testing::AssertionSuccess();
}

}  // namespace qvtest
