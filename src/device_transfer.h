// The device command protocol and the operations built on it: the map
// upload (mode p), the erase command (mode r) and the screenshot download
// (mode g).
#pragma once

#include <cstdint>

// Record checksum: one step of the accumulator over a data byte. The reset
// comes before the addition, so the sum never exceeds 0x7FFFFFFF.
uint32_t ChecksumAdd(uint32_t checksum, unsigned char byte);

// Why an upload did not get the whole map into the device.
enum class UploadFailure {
    kNone,           // every record accepted and the exit command sent
    kMapUnreadable,  // the map could not be opened or read
    kNoPort,         // the port did not open
    kMapFraming,     // the map ended inside a record or its framing broke
    kSendError,      // a byte could not be sent
    kNoAnswer,       // the device did not answer within TIMEOUT_MS
    kRefused,        // the device answered something other than RESPONSE_OK
    kDeviceGone,     // the port went away during the upload
    kInterrupted,    // RequestUploadStop was called
    kExitNotSent,    // every record accepted, but the exit command did not go out
    kReadBackDiffers,  // verify: a record read back differs from the map (read_back_at: the byte)
    kReadBackShort,    // verify: a record read back came short (read_back_at of read_back_of bytes)
};

// What an upload did, for callers that report on it without reading the
// printed lines (the production station).
struct UploadOutcome {
    uint32_t map_records = 0;       // records in the map, as the upload reads them
    uint32_t map_bytes = 0;         // size of the map file
    uint32_t records_accepted = 0;  // records the device answered RESPONSE_OK
    uint32_t bytes_sent = 0;        // record data bytes sent
    UploadFailure failure = UploadFailure::kNone;
    int failed_block = -1;          // block of the record that failed; -1 when none
    unsigned char answer = 0;       // the device's answer, for kRefused
    uint32_t read_back_at = 0;      // kReadBackDiffers: the first byte that differs; kReadBackShort: bytes received
    uint32_t read_back_of = 0;      // kReadBackShort: the record's size
    double read_back_seconds = 0;   // how long the read-back took (0 without verify)
};

// What the production station's upload does beyond the plain one.
struct UploadSettings {
    // After the last record was accepted and before the exit command, every
    // record's block is read back with a get request of its size and
    // compared with the map: a flash write can go wrong after the device
    // answered 0x69. It reads the whole map back at line rate.
    bool verify = false;
};

// How far an upload is. The bytes count what the upload has gone through
// of the map (its first line and the record headers too), which is what its
// percentage is of.
struct UploadProgress {
    uint32_t bytes_sent = 0;        // of map_bytes
    uint32_t map_bytes = 0;
    uint32_t records_accepted = 0;  // of map_records
    uint32_t map_records = 0;
    int block = -1;                 // the block of the record under way; -1 before the first
};

// Told after every data byte sent and right after each accepted record,
// before its pause: it must return at once.
using UploadObserver = void (*)(const UploadProgress &progress);

// Results of PingWait.
constexpr int kPingAnswered = 0;    // the device answered the ping
constexpr int kPingUnanswered = 1;  // no answer after MAX_PING_RETRY attempts
int PingWait();

// Results of SendResourceZebmapFile.
constexpr int kUploadComplete = 0;  // every record accepted and the exit command sent
constexpr int kUploadNoMap = -2;    // the map could not be opened
constexpr int kUploadFailed = -3;   // the upload did not complete; the outcome says why
constexpr int kUploadNoPort = -11;  // the port did not open
// The upload's progress goes to the live line (ShowUploadProgress).
int SendResourceZebmapFile(const char *port);
// The same upload; outcome (may be null) receives what happened.
int SendResourceZebmapFile(const char *port, UploadOutcome *outcome);
// The same upload, its progress told to observer instead (null: the live line).
int SendResourceZebmapFile(const char *port, UploadOutcome *outcome, UploadObserver observer);
// The same upload with the station's settings.
int SendResourceZebmapFile(const char *port, UploadOutcome *outcome, UploadObserver observer,
                           const UploadSettings &settings);
// Makes the running upload (or the next one, when none runs) stop sending at
// once, send the exit command and end with kInterrupted. The request ends
// that one upload. Safe to call from a signal handler or another thread.
void RequestUploadStop();

// Results of SendResetCommand.
constexpr int kEraseSent = 0;       // the erase command went out
constexpr int kEraseNotSent = -1;   // the erase command did not go out
constexpr int kEraseNoPort = -11;   // the port did not open
int SendResetCommand(const char *port);

// Results of GetResource.
constexpr int kScreenshotComplete = 0;     // every byte of the screenshot received and written
constexpr int kGetCommandNotSent = -1;     // CMD_GET did not go out, or the screenshot file could not be created
constexpr int kGetBlockNotSent = -2;       // the block of the get request did not go out
constexpr int kGetSizeNotSent = -3;        // the size of the get request did not go out
constexpr int kScreenshotNotWritten = -4;  // the screenshot file could not be written
constexpr int kScreenshotShort = -5;       // the device sent fewer bytes than requested
constexpr int kScreenshotNoPort = -11;     // the port did not open
int GetResource(const char *port);

