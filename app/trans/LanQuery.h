// What the transfer engine asks of the local-network service, which sits
// above it: a broadcast query for a content hash. The service implements
// it; the shell hands it to the transfer manager at login completion.
#pragma once

#include <string>

class LanQuery {
public:
  virtual ~LanQuery() = default;
  // True when a query went out, so that answers may come. Any thread.
  virtual bool checkfilehash(const std::string& filehash) = 0;
};
