// The link a configuration names: tcp://HOST:PORT for a serial device
// server, any other text a serial device path.
#pragma once

#include "HostConfig.h"
#include "Link.h"

#include <cstdio>
#include <memory>
#include <string>

namespace host {

// False with `error` set for a device text no link can take (a bad tcp://
// address). An empty device passes: --simulate needs none.
bool checkDevice(const std::string& device, std::string& error);

// The link for settings.device, reopened with back-off when it drops;
// connection losses and recoveries are reported on `log`. Not opened yet.
// Throws ConfigError for an empty or unusable device text.
std::unique_ptr<Link> makeLink(const LinkSettings& settings, FILE* log);

}  // namespace host
