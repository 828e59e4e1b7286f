#include "HostView.h"

#include "HostMap.h"
#include "ValueCodec.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

std::string cut(const std::string& s, int cols)
{
    return cols > 0 && s.size() > static_cast<size_t>(cols) ? s.substr(0, static_cast<size_t>(cols)) : s;
}

std::string ageText(const TagStatus& s, Clock::time_point now)
{
    if (!s.everRead)
        return "-";
    char t[32];
    std::snprintf(t, sizeof t, "%.1fs", std::chrono::duration<double>(now - s.lastRead).count());
    return t;
}

bool stationOffline(const HostSession& session, int station, const StationStats** out = nullptr)
{
    const auto st = session.stations().find(station);
    if (st == session.stations().end() || !st->second.offline)
        return false;
    if (out)
        *out = &st->second;
    return true;
}

QJsonValue jsonItem(const Tag& t, const QByteArray& bytes, int item)
{
    std::string text = formatItem(t, bytes, item);
    switch (t.type) {
    case ValueType::Hex:
    case ValueType::String: return QString::fromStdString(text);
    default: return std::strtod(text.c_str(), nullptr);  // JSON numbers are doubles
    }
}

QJsonObject jsonStation(const StationStats& st)
{
    QJsonObject j;
    j["exchanges"] = static_cast<double>(st.exchanges);
    j["failures"] = static_cast<double>(st.failures);
    j["giveUps"] = static_cast<double>(st.giveUps);
    j["timeouts"] = static_cast<double>(st.timeouts);
    j["crcErrors"] = static_cast<double>(st.crcErrors);
    j["exceptions"] = static_cast<double>(st.exceptions);
    j["lastException"] = st.lastException;
    j["lastGiveUpCode"] = st.lastGiveUpCode;
    j["mismatches"] = static_cast<double>(st.mismatches);
    j["notice"] = QString::fromStdString(st.notice);
    j["lateAnswers"] = static_cast<double>(st.lateAnswers);
    j["lastFailure"] = QString::fromStdString(st.lastFailure);
    j["offline"] = st.offline;
    if (st.timeoutMs) {  // raised for late answers
        j["timeoutMs"] = st.timeoutMs;
        j["latenessMs"] = static_cast<double>(st.latenessMs);
    }
    if (st.offline) {
        char since[32];
        std::tm utc{};
        gmtime_r(&st.offlineSince, &utc);
        std::strftime(since, sizeof since, "%Y-%m-%dT%H:%M:%SZ", &utc);
        j["offlineSince"] = since;
    }
    return j;
}

}  // namespace

std::string stationState(const StationStats& st)
{
    if (!st.offline)
        return "online";
    char when[16];
    std::tm local{};
    localtime_r(&st.offlineSince, &local);
    std::strftime(when, sizeof when, "%H:%M:%S", &local);
    return std::string("offline since ") + when + " (" + std::to_string(std::time(nullptr) - st.offlineSince) + " s)";
}

std::string tagTrouble(const TagStatus& s)
{
    std::string why = s.lastGiveUpCode ? "given up, code " + std::to_string(s.lastGiveUpCode) : "not read yet";
    if (s.lastException)
        why += ", exception " + std::to_string(s.lastException);
    if (s.lastGiveUpCode && !s.lastFailure.empty())
        why += ": " + s.lastFailure;
    return why;
}

std::vector<std::string> stationLines(const HostSession& session, int cols, const std::map<int, double>* rates)
{
    std::vector<std::string> out{
        cut("STATION EXCH/S EXCHANGES  FAIL GIVE-UP TIME-OUT BAD-CRC  EXC MISM LATE STATE", cols)};
    char line[256];
    for (const auto& e : session.stations()) {
        const StationStats& st = e.second;
        char rate[16] = "-";
        if (rates && rates->count(e.first))
            std::snprintf(rate, sizeof rate, "%.0f", rates->at(e.first));
        std::snprintf(line, sizeof line, "%-7d %6s %9ld %5ld %7ld %8ld %7ld %4ld %4ld %4ld %s", e.first, rate,
                      st.exchanges, st.failures, st.giveUps, st.timeouts, st.crcErrors, st.exceptions, st.mismatches,
                      st.lateAnswers, st.offline ? "OFFLINE" : "online");
        out.push_back(cut(line, cols));
        std::string why;
        if (st.offline) {
            why = stationState(st);
            why = why.substr(why.find("since")) + ";";
        }
        if (!st.lastFailure.empty())
            why += " last: " + st.lastFailure;
        if (st.lastException)
            why += ", exception " + std::to_string(st.lastException);
        if (st.lastGiveUpCode)
            why += ", give-up code " + std::to_string(st.lastGiveUpCode);
        if (st.timeoutMs)
            why += "; answers " + std::to_string(st.latenessMs) + " ms late: time-out raised to " +
                   std::to_string(st.timeoutMs) + " ms (link.responseTimeoutMs)";
        if (!why.empty())
            out.push_back(cut("        " + why, cols));
        if (!st.notice.empty())
            out.push_back(cut("        station " + std::to_string(e.first) + ": " + st.notice, cols));
    }
    return out;
}

std::string shownValue(const HostSession& session, size_t tag)
{
    const Tag& t = session.config().tags[tag];
    return session.tags()[tag].ok() ? formatValue(t, session.readTag(t)) : "?";
}

std::string writeOutcome(const HostSession& session, const WriteJob& j, bool replaced)
{
    const HostConfig& cfg = session.config();
    const Tag& t = cfg.tags[static_cast<size_t>(j.tag)];
    std::string what;
    switch (j.status) {
    case 1: what = "acknowledged"; break;
    case 2: what = "given up, code " + std::to_string(j.giveUpCode); break;
    case 3: what = "nothing to send"; break;
    default: {
        const StationStats* st = nullptr;
        if (stationOffline(session, cfg.stationOf(t), &st))
            what = "not sent: station " + std::to_string(cfg.stationOf(t)) + " is offline (" + st->lastFailure + ")";
        else
            what = replaced ? "replaced by a later write of the same range" : "not acknowledged in time";
        break;
    }
    }
    if (j.exception)
        what += ", exception " + std::to_string(j.exception);
    if (j.status == 2 && !j.failure.empty())
        what += ": " + j.failure;
    return t.name + "=" + j.text + ": " + what;
}

bool readReport(const HostSession& session, bool json, double elapsedSeconds, std::string& out)
{
    const HostConfig& cfg = session.config();
    bool allOk = true;
    QJsonArray tags;
    for (size_t i = 0; i < cfg.tags.size(); ++i) {
        const Tag& t = cfg.tags[i];
        if (!cfg.readable(t))
            continue;
        const TagStatus& s = session.tags()[i];
        const QByteArray bytes = session.readTag(t);
        allOk = allOk && s.ok();
        const StationStats* st = nullptr;
        const bool offline = stationOffline(session, cfg.stationOf(t), &st);
        std::string why = s.ok() ? "" : s.lastGiveUpCode ? tagTrouble(s) : offline ? "not read" : "not read in time";
        if (!s.ok() && offline)
            why += "; station offline (" + st->lastFailure + ")";
        if (!json) {
            char line[512];
            std::snprintf(line, sizeof line, "%-20s = %-24s %s\n", t.name.c_str(),
                          s.ok() ? formatValue(t, bytes).c_str() : "?", s.ok() ? "" : ("(" + why + ")").c_str());
            out += line;
            continue;
        }
        QJsonObject j;
        j["name"] = QString::fromStdString(t.name);
        j["station"] = cfg.stationOf(t);
        j["kind"] = kindName(t.kind);
        j["address"] = QString::fromStdString(t.address);
        j["type"] = typeName(t.type);
        if (!t.unit.empty())
            j["unit"] = QString::fromStdString(t.unit);
        if (t.items() == 1) {
            j["value"] = jsonItem(t, bytes, 0);
        } else {
            QJsonArray items;
            for (int k = 0; k < t.items(); ++k)
                items.append(jsonItem(t, bytes, k));
            j["value"] = items;
        }
        j["raw"] = QString::fromStdString(rawHex(t, bytes));
        j["ok"] = s.ok();
        j["code"] = s.ok() ? 0 : s.lastGiveUpCode;
        j["exception"] = s.lastException;
        j["why"] = QString::fromStdString(why);
        tags.append(j);
    }
    if (!json) {
        for (const std::string& line : stationLines(session, 0, nullptr))
            out += line + "\n";
        return allOk;
    }
    QJsonObject stations;
    for (const auto& e : session.stations())
        stations[QString::number(e.first)] = jsonStation(e.second);
    QJsonObject driver;
    const std::string file = session.api().file();
    driver["file"] = QString::fromStdString(file);
    driver["version"] = QString::fromStdString(libraryFileVersion(file));
    QJsonObject root;
    root["version"] = KEMO_VERSION;
    root["driver"] = driver;
    root["ok"] = allOk;
    root["elapsedMs"] = static_cast<int>(elapsedSeconds * 1000);
    root["tags"] = tags;
    root["stations"] = stations;
    out += QJsonDocument(root).toJson(QJsonDocument::Indented).constData();
    return allOk;
}

Page pageOf(int lines, int perPage, int page)
{
    perPage = std::max(1, perPage);
    Page p;
    p.pages = std::max(1, (lines + perPage - 1) / perPage);
    p.page = (page % p.pages + p.pages) % p.pages;
    p.first = p.page * perPage;
    p.count = std::max(0, std::min(perPage, lines - p.first));
    return p;
}

TermSize terminalSize(int fd)
{
    winsize w{};
    if (ioctl(fd, TIOCGWINSZ, &w) == 0 && w.ws_col > 0 && w.ws_row > 0)
        return {w.ws_col, w.ws_row};
    return {80, 24};
}

LiveView::LiveView(const HostSession& session, bool unpaced, double responseMs)
    : session_(session), simulated_(unpaced),
      estimateMs_(estimateScan(session.config(), readBlocks(session.config()), responseMs).ms)
{
    const HostConfig& cfg = session.config();
    for (size_t i = 0; i < cfg.tags.size(); ++i)
        if (cfg.readable(cfg.tags[i])) {
            readable_.push_back(i);
            nameWidth_ = std::min(20, std::max(nameWidth_, static_cast<int>(cfg.tags[i].name.size())));
        }
}

void LiveView::sample(double windowSeconds, bool sinceStart)
{
    const double window = std::max(windowSeconds, 1e-3);
    rate_ = (session_.totalExchanges() - (sinceStart ? 0 : lastTotal_)) / window;
    lastTotal_ = session_.totalExchanges();
    for (const auto& e : session_.stations()) {
        long& last = lastExchanges_[e.first];
        stationRate_[e.first] = (e.second.exchanges - (sinceStart ? 0 : last)) / window;
        last = e.second.exchanges;
    }
}

void LiveView::note(const std::string& text)
{
    lastNote_ = text;
    newNotes_.push_back(text);
}

bool LiveView::command(const std::string& line, double upSeconds)
{
    if (line == ":n" || line == ":p") {
        page_ += line == ":n" ? 1 : -1;
        autoPage_ = false;
    } else if (line == ":a") {
        autoPage_ = true;
    } else {
        return false;
    }
    pageTurnedAt_ = upSeconds;
    return true;
}

// Columns fitted to the width: kind and address only where there is room,
// the value gets what is left after a minimum for the state. tag -1: the header.
std::string LiveView::tagLine(long tag, int cols) const
{
    const bool wide = cols >= 120;
    const int fixed = nameWidth_ + 1 + 4 + 5 + 7 + (wide ? 19 : 0);  // name, station, type, age, kind + address
    const int valueW = std::max(8, std::min(40, cols - 1 - fixed - 30));
    char line[512];
    auto row = [&](const char* name, const char* station, const char* kind, const char* address, const char* type,
                   const char* value, const char* age, const char* state) {
        if (wide)
            std::snprintf(line, sizeof line, "%-*.*s %3s  %-10s %-7s %-4s %-*s %6s  %s", nameWidth_, nameWidth_, name,
                          station, kind, address, type, valueW, value, age, state);
        else
            std::snprintf(line, sizeof line, "%-*.*s %3s %-4s %-*s %6s  %s", nameWidth_, nameWidth_, name, station,
                          type, valueW, value, age, state);
        return cut(line, cols);
    };
    if (tag < 0)
        return row("TAG", "ST", "KIND", "ADDRESS", "TYPE", "VALUE", "AGE", "STATE");
    const HostConfig& cfg = session_.config();
    const Tag& t = cfg.tags[static_cast<size_t>(tag)];
    const TagStatus& s = session_.tags()[static_cast<size_t>(tag)];
    std::string value = shownValue(session_, static_cast<size_t>(tag));
    if (value.size() > static_cast<size_t>(valueW))
        value = value.substr(0, static_cast<size_t>(valueW - 3)) + "...";
    std::string state = s.ok() ? "ok" : tagTrouble(s);
    if (stationOffline(session_, cfg.stationOf(t)))
        state = "station offline; " + state;
    return row(t.name.c_str(), std::to_string(cfg.stationOf(t)).c_str(), kindName(t.kind), t.address.c_str(),
               typeName(t.type), value.c_str(), ageText(s, Clock::now()).c_str(), state.c_str());
}

std::string LiveView::screen(TermSize size, double upSeconds, const std::string& input)
{
    const int cols = std::max(20, size.cols) - 1;  // the last column would wrap on some terminals
    const int rows = std::max(8, size.rows);
    std::vector<std::string> top;
    char line[512];
    std::snprintf(line, sizeof line, "plc-host %s   up %.0fs   %.0f exchanges/s   Ctrl-C ends",
                  session_.config().path.c_str(), upSeconds, rate_);
    top.push_back(cut(line, cols));
    const int n = std::snprintf(line, sizeof line, "full scan %.1f ms, estimated %.1f ms at %d baud",
                                session_.scanTime().count() / 1000.0, estimateMs_, session_.config().link.baud);
    std::string scan = line;
    if (simulated_)
        scan += n + 60 <= cols ? " (simulated: no real line, so the pty is far faster)" : " (simulated: no real line)";
    top.push_back(cut(scan, cols));

    // The body: the tags, paged; the stations stay above them on every page
    // unless they would take half the screen, then they are paged too.
    const std::vector<std::string> stations = stationLines(session_, cols, &stationRate_);
    const int footer = 2;
    const int free = rows - static_cast<int>(top.size()) - footer - 1;
    const bool stationsPaged = static_cast<int>(stations.size()) > free / 2;
    if (!stationsPaged) {
        top.insert(top.end(), stations.begin(), stations.end());
        top.push_back(tagLine(-1, cols));
    }
    const long above = stationsPaged ? static_cast<long>(stations.size()) + 1 : 0;  // stations and the tag header
    const int perPage = std::max(1, rows - static_cast<int>(top.size()) - footer);
    if (autoPage_ && upSeconds - pageTurnedAt_ >= kPageSeconds) {
        ++page_;
        pageTurnedAt_ = upSeconds;
    }
    const Page p = pageOf(static_cast<int>(above + static_cast<long>(readable_.size())), perPage, page_);
    page_ = p.page;

    std::string out = "\x1b[H";
    auto put = [&](const std::string& l) { out += l + "\x1b[K\r\n"; };
    for (const std::string& l : top)
        put(l);
    // Only the lines shown are made: a page costs the same at any number of tags.
    for (int i = 0; i < perPage; ++i) {
        const long n = p.first + i;
        if (i >= p.count)
            put("");
        else if (n < above - 1)
            put(stations[static_cast<size_t>(n)]);
        else
            put(tagLine(n == above - 1 ? -1 : static_cast<long>(readable_[static_cast<size_t>(n - above)]), cols));
    }
    put(cut(lastNote_.empty() ? "type NAME=VALUE and Enter to write a tag" : lastNote_, cols));
    // The end of a long input stays in sight.
    std::string prompt = "> " + input + "_";
    if (static_cast<int>(prompt.size()) > cols)
        prompt = "> ..." + prompt.substr(prompt.size() - static_cast<size_t>(cols - 5));
    if (p.pages > 1)
        prompt += std::string(std::max<size_t>(3, 28 - std::min<size_t>(28, prompt.size())), ' ') + "page " +
                  std::to_string(p.page + 1) + "/" + std::to_string(p.pages) +
                  (autoPage_ ? ", turns every " + std::to_string(static_cast<int>(kPageSeconds)) + " s; :n :p"
                             : std::string(" held; :n :p, :a turns"));
    out += cut(prompt, cols) + "\x1b[K\x1b[J";
    return out;
}

std::string LiveView::statusLine(double upSeconds)
{
    const HostConfig& cfg = session_.config();
    char head[160];
    std::snprintf(head, sizeof head, "t=%.1fs rate=%.1f/s scan=%.1fms est=%.1fms%s", upSeconds, rate_,
                  session_.scanTime().count() / 1000.0, estimateMs_, simulated_ ? " sim=1" : "");
    std::string out = head;
    for (const auto& e : session_.stations()) {
        const StationStats& st = e.second;
        char part[320];
        std::snprintf(part, sizeof part,
                      " | st%d exch=%ld fail=%ld giveup=%ld crc=%ld exc=%ld lastexc=%d code=%d"
                      " tmo=%ld mis=%ld late=%ld off=%d persec=%.0f offsec=%ld",
                      e.first, st.exchanges, st.failures, st.giveUps, st.crcErrors, st.exceptions, st.lastException,
                      st.lastGiveUpCode, st.timeouts, st.mismatches, st.lateAnswers, st.offline ? 1 : 0,
                      stationRate_[e.first], st.offline ? static_cast<long>(std::time(nullptr) - st.offlineSince) : 0L);
        out += part;
    }
    out += " |";
    for (size_t i = 0; i < cfg.tags.size(); ++i)
        if (cfg.readable(cfg.tags[i]))
            out += " " + cfg.tags[i].name + "=" + shownValue(session_, i);
    // Written values and refused lines: after every older field, behind a
    // marker that no value contains.
    for (const std::string& n : newNotes_)
        out += " || " + n;
    newNotes_.clear();
    return out;
}

LineInput::LineInput(bool editHere)
{
    // A program in the background must not read the terminal (it would be stopped).
    if (isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) != getpgrp()) {
        open_ = false;
        return;
    }
    if (editHere && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_) == 0) {
        termios t = saved_;
        t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        raw_ = tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
    }
}

LineInput::~LineInput()
{
    if (raw_)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

void LineInput::take(char c, std::vector<std::string>& lines)
{
    if (escape_) {
        // Keys such as arrows send ESC [ ... final byte: dropped whole.
        if (escape_ == 1 && (c == '[' || c == 'O'))
            escape_ = 2;
        else if (escape_ == 1 || (c >= 0x40 && c <= 0x7e))
            escape_ = 0;
        return;
    }
    if (c == '\n' || (raw_ && c == '\r')) {
        lines.push_back(buffer_);
        buffer_.clear();
    } else if (raw_ && (c == 0x7f || c == 0x08)) {
        if (!buffer_.empty())
            buffer_.pop_back();
    } else if (raw_ && c == 0x15) {
        buffer_.clear();  // Ctrl-U
    } else if (c == 0x1b) {
        escape_ = 1;
    } else if (static_cast<unsigned char>(c) >= 0x20 && buffer_.size() < 256) {
        buffer_ += c;
    }
}

std::vector<std::string> LineInput::poll()
{
    std::vector<std::string> lines;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    while (open_ && ::poll(&p, 1, 0) > 0) {
        char buf[256];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            open_ = false;  // end of input: the table runs on
            if (!buffer_.empty())
                lines.push_back(buffer_);
            buffer_.clear();
            break;
        }
        for (ssize_t i = 0; i < n; ++i)
            take(buf[i], lines);
    }
    return lines;
}

}  // namespace host
