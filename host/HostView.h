// What plc-host shows: the live table and the one-line status of `run`, the
// report of `read` (text or JSON), the outcome of a write in words, and the
// lines typed on stdin while `run` shows its table.
#pragma once

#include "HostSession.h"

#include <termios.h>

#include <map>
#include <string>
#include <vector>

namespace host {

// "online", or "offline since 08:12:03 (41 s)".
std::string stationState(const StationStats& st);
// Why a tag has no value: the reason in words, the driver's code, the exception.
std::string tagTrouble(const TagStatus& s);
// Counters per station, one row each; a second, indented row says what went
// wrong last. Lines are cut at `cols` (0: never); `rates`: exchanges per
// second by station, or nullptr.
std::vector<std::string> stationLines(const HostSession& session, int cols, const std::map<int, double>* rates);
// A tag's value as shown, or ? while it has none that is current.
std::string shownValue(const HostSession& session, size_t tag);
// "NAME=VALUE: acknowledged", or why the write did not take. `replaced`: the
// driver's queue ran empty while the job was still open.
std::string writeOutcome(const HostSession& session, const WriteJob& job, bool replaced);

// `read`: one line per tag and the station table, or one JSON object.
// Returns true when every tag was read.
bool readReport(const HostSession& session, bool json, double elapsedSeconds, std::string& out);

// Which body lines a page shows: `lines` in all, `perPage` at a time; the
// page number wraps around both ways.
struct Page {
    int pages, page, first, count;
};
Page pageOf(int lines, int perPage, int page);

struct TermSize {
    int cols, rows;
};
TermSize terminalSize(int fd);  // 80x24 when fd is no terminal

// Seconds between automatic page turns of the live table.
constexpr double kPageSeconds = 5;

class LiveView {
public:
    // `unpaced`: the line is a pty to a simulated controller that answers at
    // once, so the measured scan is far shorter than the estimate for the
    // configured line. `responseMs`: when the controller's answer starts after
    // the end of a request, for the estimate.
    LiveView(const HostSession& session, bool unpaced, double responseMs);

    // Exchange rates since the last call, over `windowSeconds` (sinceStart:
    // over the whole run).
    void sample(double windowSeconds, bool sinceStart = false);
    // The whole screen, every line cut to the terminal's width; `input` is
    // the line being typed.
    std::string screen(TermSize size, double upSeconds, const std::string& input);
    // Without a terminal: one line; notes since the last line go at its end.
    std::string statusLine(double upSeconds);
    // A line starting with ':' (:n, :p, :a); returns false when unknown.
    bool command(const std::string& line, double upSeconds);
    // A write's outcome or a refused line, for the footer and the next status line.
    void note(const std::string& text);

private:
    std::string tagLine(long tag, int cols) const;

    const HostSession& session_;
    const bool simulated_;
    const double estimateMs_;
    std::vector<size_t> readable_;  // tags shown, by index
    int nameWidth_ = 3;
    double rate_ = 0;
    long lastTotal_ = 0;
    std::map<int, double> stationRate_;
    std::map<int, long> lastExchanges_;
    std::string lastNote_;
    std::vector<std::string> newNotes_;
    int page_ = 0;
    bool autoPage_ = true;
    double pageTurnedAt_ = 0;
};

// Lines typed on stdin, taken without ever blocking. With a terminal on both
// sides the line is edited here, echo off, and shown by the live table (the
// terminal's own echo would be wiped by the next redraw).
class LineInput {
public:
    explicit LineInput(bool editHere);
    ~LineInput();
    LineInput(const LineInput&) = delete;
    LineInput& operator=(const LineInput&) = delete;

    // Complete lines since the last call.
    std::vector<std::string> poll();
    const std::string& partial() const { return buffer_; }

private:
    void take(char c, std::vector<std::string>& lines);

    bool open_ = true;
    bool raw_ = false;
    int escape_ = 0;  // inside a key's escape sequence: 1 after ESC, 2 after ESC [
    termios saved_{};
    std::string buffer_;
};

}  // namespace host
