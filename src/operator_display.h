// What the program shows the person at the line, on standard error only:
// standard output belongs to the line's tooling and never changes.
//
//  - A live progress line for the upload (mode p) and the screenshot
//    download (mode g): one self-updating line, drawn only when standard
//    error is a terminal, redrawn at most every 100 ms.
//  - A hint after a port could not be opened: the serial ports that exist.
//  - One-line notes after a run, on a terminal only: what the build packed,
//    where the screenshot went, why the device refused a record, and what an
//    interrupted transfer leaves behind.
//
// The live line shares the terminal with the program's standard output, so
// the caller hides it (ProgressHide) before printing anything while it is
// shown; the next update draws it again at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device_transfer.h"
#include "resource_map.h"

// Where the display goes and how it tells time. The default writes to file
// descriptor 2, draws live lines only when that is a terminal (and not a
// "dumb" one) and reads a monotonic clock; tests put their own in place.
struct OperatorDisplayIo {
    bool live = false;                                        // draw live lines at all
    void (*write)(const char *text, std::size_t length) = nullptr;
    double (*now_ms)() = nullptr;                             // monotonic, in milliseconds
    int (*columns)() = nullptr;                               // terminal width, 0 when unknown
};

OperatorDisplayIo DefaultOperatorDisplayIo();
// Replaces the display's output and clock; forgets any line in progress.
void SetOperatorDisplayIo(const OperatorDisplayIo &io);

// True when live lines are drawn at all, so that what only they need (such
// as the record count of the map) is worked out only then.
bool LiveLinesShown();

// Upload progress. total_records counts the map records; every accepted
// record is followed by a one-second pause, which the time left includes.
// Call ProgressUpdate after every data byte sent (it costs a clock read and
// returns at once unless a redraw is due) and right after a record was
// accepted, with the new count, before the pause.
void ProgressBegin(uint32_t total_bytes, uint32_t total_records);
void ProgressUpdate(uint32_t bytes_sent, uint32_t records_accepted);
// The upload's observer that draws the live line (ProgressUpdate).
void ShowUploadProgress(const UploadProgress &progress);
void ProgressHide();  // clears the line; the next update redraws it
void ProgressEnd();   // clears the line for good

// Screenshot download: the bytes received so far of those requested.
// The line is drawn at once; DownloadEnd must come before the next print.
void DownloadBegin(uint32_t expected_bytes);
void DownloadUpdate(uint32_t received_bytes);
void DownloadEnd();

// The text of the live line (no escape sequences), for the tests and for
// whoever wants to print it elsewhere. elapsed_ms is the transfer time so
// far without the pauses, speed in bytes per second (<= 0: not known yet).
std::string FormatUploadLine(uint32_t bytes_sent, uint32_t total_bytes, uint32_t records_accepted,
                             uint32_t total_records, double bytes_per_second);
std::string FormatDownloadLine(uint32_t received, uint32_t expected, double bytes_per_second);
// The speed of a transfer over its last few seconds, the live line's and
// whoever shows the same figures elsewhere: the pause after each accepted
// record is no transfer time.
class TransferPace {
public:
    void Begin(double now_ms);
    // The figures as they come: bytes so far, and a count of pauses (the
    // records accepted; 0 for a transfer without any). The time beside an
    // update that counts a new pause is left out: the pause lies before it
    // or after it, depending on where the caller reports.
    void Update(uint32_t bytes, uint32_t pauses, double now_ms);
    // Takes a sample (a few a second: at each drawing) and returns the
    // bytes per second of the last seconds, 0 when there is too little to say.
    double Sample();

private:
    struct Point {
        double active_ms;
        uint32_t bytes;
    };
    static constexpr std::size_t kPoints = 48;  // > the window / the redraw interval
    Point points_[kPoints] = {};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    double active_ms_ = 0;       // transfer time, the pauses left out
    double last_update_ms_ = 0;
    uint32_t bytes_ = 0;
    uint32_t pauses_ = 0;
    bool after_pause_ = false;   // the last update counted a new pause
};

// After a device mode could not open portname (connect_error: the code
// SerialConnect returned): one line on standard error. When the port is
// there but refused opening (a code from 301-304: busy, or no permission)
// it says so; for a pseudo-terminal the library refused, that the pty
// adapter must be preloaded; otherwise it names the serial ports that
// libserialport sees, or says there are none.
void PrintPortHint(const char *portname, int connect_error);
// The hint's text with its newline. refused: the port exists and refused
// opening. listed is false when the port list could not be read at all.
// advice: PortPermissionAdvice's, for a port refused for want of permission.
std::string FormatPortHint(const char *portname, bool refused, const std::vector<std::string> &ports, bool listed,
                           const std::string &advice = "");

// One line for the person at the terminal, after the run's own output: the
// live line, if any, is cleared first. Nothing when live lines are not drawn.
void PrintOperatorNote(const std::string &line);

// After mode d: how many resources were packed and skipped, or that
// resources/ could not be read (built 1) and whether the map checked is then
// an earlier one (checked -2: there was none), or that there were none.
std::string FormatDevelopSummary(const BuildStats &stats, int32_t built, int32_t checked);

// After an upload whose record the device refused or did not answer: what
// that means, in plain words. "" for every other outcome.
std::string FormatRefusalHint(const UploadOutcome &outcome);

// For modes p and g on a terminal: SIGINT or SIGTERM clears the live line,
// says that the device may be left in the middle of a record, then ends the
// process as the signal would have. Does nothing when live lines are not
// drawn: the signals keep their default action.
void InstallInterruptNotice();
// The notice, as the handler writes it.
extern const char kInterruptNotice[];
