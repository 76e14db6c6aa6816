// What several of the fleet tests share: a file's text, and the port number
// a network address is registered under.
#ifndef FLEETTESTSUPPORT_H
#define FLEETTESTSUPPORT_H

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "serial/PortAddress.h"
#include "serial/PortDescription.h"
#include "../TestFiles.h"

// The port number a network address is opened under.
inline int registeredPort(const char *url) {
  PortAddress address;
  std::string reason;
  EXPECT_TRUE(portAddress_parse(url, &address, &reason)) << reason;
  return portRegistry_register(address);
}

#endif  // FLEETTESTSUPPORT_H
