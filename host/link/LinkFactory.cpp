#include "LinkFactory.h"

#include "ReconnectingLink.h"
#include "SerialLink.h"
#include "TcpLink.h"

namespace host {

bool checkDevice(const std::string& device, std::string& error)
{
    TcpAddress ignored;
    return parseTcpDevice(device, ignored, error) || error.empty();
}

std::unique_ptr<Link> makeLink(const LinkSettings& settings, FILE* log)
{
    if (settings.device.empty())
        throw ConfigError("no serial device configured (link.device), and --simulate not given");
    TcpAddress address;
    std::string error;
    std::unique_ptr<Link> inner;
    if (parseTcpDevice(settings.device, address, error))
        inner.reset(new TcpLink(settings));
    else if (!error.empty())
        throw ConfigError("link.device: " + error);
    else
        inner.reset(new SerialLink(settings));
    return std::unique_ptr<Link>(new ReconnectingLink(std::move(inner), settings.device, log));
}

}  // namespace host
