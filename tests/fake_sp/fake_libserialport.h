// In-memory stand-in for libserialport, for unit tests of everything that
// talks to the device. It defines the sp_* functions of <libserialport.h>
// (linked instead of the real library) and this control API for the tests.
//
// What it models:
//   - Every sp_* call is recorded, in order, with its integer arguments
//     (pointers and strings are left out; the port name is kept apart).
//   - Every call succeeds unless a test scripts another result for it.
//   - A "device": bytes the link writes are collected and passed, one by
//     one, to an optional callback; bytes the device sends are queued with
//     a due time and handed out by sp_blocking_read once due.
//   - sp_flush with the input direction discards the queued bytes that are
//     already due (they "have arrived"); bytes still in flight survive.
//   - Ports and configurations live until the process ends, so handles
//     kept by the code under test never dangle across tests.
//
// Not thread-safe: the code under test and the test run on one thread.
//
// Typical use:
//   fakesp::Reset();
//   fakesp::SetDevice([](unsigned char byte) {
//       if (byte == 0x03) fakesp::QueueRead({0x69}, 20);   // answer 20 ms later
//   });
//   fakesp::SetResultOnCall("sp_blocking_write", 3, 0);  // third write sends nothing
//   ... run the code ...
//   EXPECT_EQ(fakesp::Written(), (fakesp::Bytes{0x03, 0x03}));
#pragma once

#include <libserialport.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace fakesp {

using Bytes = std::vector<unsigned char>;

// One recorded call: the function name and its integer arguments in
// declaration order, e.g. {"sp_flush", {1}} for sp_flush(port, SP_BUF_INPUT),
// {"sp_blocking_write", {1, 500}} for a one-byte write with a 500 ms time-out,
// {"sp_blocking_read", {1, 1}}, {"sp_open", {3}}, {"sp_set_config_bits", {8}}.
// Calls that take no integer argument record an empty list.
struct Call {
    const char *name;  // a string literal, valid for the whole run
    std::vector<long long> args;

    bool operator==(const Call &other) const;
};

// Forgets everything: calls, scripted results, last error text, device
// callback, queued and written bytes, counters; closes every port. Call it
// at the start of every test.
void Reset();

// Forgets what happened so far (recorded calls, per-function call counts,
// written bytes, read/flush/drain counters) but keeps the ports, the
// scripted results, the device and the queued bytes: lets a test connect
// first and then look only at what follows. Call numbers of scripted
// results count again from 1.
void ClearHistory();

// ---- recorded calls ------------------------------------------------------
const std::vector<Call> &Calls();
std::vector<std::string> CallNames();          // just the names, in order
std::size_t CountCalls(const std::string &name);
// Recording every call costs memory; tests that push hundreds of thousands
// of bytes through the link may switch it off (counters and bytes are kept).
void SetRecording(bool on);
// The port name of the last sp_get_port_by_name call ("" before any).
const std::string &LastPortName();

// ---- scripted results ----------------------------------------------------
// The value is returned instead of the normal result: an sp_return for the
// plain calls, a byte count (or a negative sp_return) for sp_blocking_write
// and sp_blocking_read. A scripted SP_OK means "behave normally".
//   - sp_blocking_write: a count n below the length writes only the first n
//     bytes (0 writes nothing); a negative value writes nothing.
//   - sp_blocking_read: 0 or a negative value delivers nothing (and does not
//     wait); a positive n caps the bytes this call may deliver.
//   - a failing sp_new_config / sp_get_port_by_name stores null.
//   - any other failing call has no effect.
// Calls are counted per function name from 1 since Reset(). When several
// rules cover one call, the one added last wins.
void SetResult(const std::string &name, int result);                           // every call
void SetResultOnCall(const std::string &name, std::size_t nth, int result);    // the nth only
void SetResultFromCall(const std::string &name, std::size_t nth, int result);  // nth and later

// The text sp_last_error_message returns (default "fake port error").
void SetLastErrorMessage(const std::string &text);
// How many error messages were handed out and not yet freed.
int OutstandingErrorMessages();

// ---- the device ----------------------------------------------------------
// Called with every byte that sp_blocking_write reports written, in order,
// before the write returns. It may call QueueRead to answer.
using DeviceHook = std::function<void(unsigned char byte)>;
void SetDevice(DeviceHook hook);

// Bytes for the link to read, due delay_ms milliseconds from now (a steady
// clock). Queued bytes are delivered in the order they were queued.
void QueueRead(const Bytes &bytes, unsigned int delay_ms = 0);
std::size_t PendingReadBytes();  // queued, due or not, not yet read or flushed

// ---- what happened -------------------------------------------------------
const Bytes &Written();           // every byte written, in order
std::size_t BytesRead();          // bytes handed out by sp_blocking_read
std::size_t DiscardedBytes();     // queued bytes dropped by input flushes
int FlushCount(sp_buffer which);  // sp_flush calls with exactly this argument, any result
int DrainCount();                 // sp_drain calls, any result
bool PortOpen();                  // the last port looked up is open

}  // namespace fakesp
