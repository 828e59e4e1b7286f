#include "ScanLog.h"

#include "ValueCodec.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace host {

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

bool ScanLog::open(const std::string& path, const HostConfig& config, std::string& error)
{
    file_ = std::fopen(path.c_str(), "a");
    if (!file_) {
        error = "--log: cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (std::ftell(file_) > 0)
        return true;
    std::string header = "time";
    for (const Tag& t : config.tags)
        if (config.readable(t))
            header += "," + csvField(t.name);
    std::fprintf(file_, "%s\n", header.c_str());
    std::fflush(file_);
    return true;
}

ScanLog::~ScanLog()
{
    if (file_)
        std::fclose(file_);
}

void ScanLog::row(const HostSession& session)
{
    if (!file_)
        return;
    // Local wall-clock time to the millisecond, as spreadsheets read it.
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&secs, &local);
    char stamp[40];
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", ms);
    std::string line = stamp;
    const HostConfig& cfg = session.config();
    for (size_t i = 0; i < cfg.tags.size(); ++i) {
        const Tag& t = cfg.tags[i];
        if (!cfg.readable(t))
            continue;
        const TagStatus& s = session.tags()[i];
        line += "," + (s.ok() ? csvField(formatValue(t, session.readTag(t))) : std::string("?"));
    }
    std::fprintf(file_, "%s\n", line.c_str());
    std::fflush(file_);
    ++rows_;
}

}  // namespace host
