// The upload journal: what makes a record survive the station's crash. A
// port's worker writes one small file in its fixture's folder before the
// first byte of a device's put message goes out (NNNNN.journal: the device,
// its record's id, when the upload started, the port, device path, adapter
// serial and the map), and the parent removes it once that device's record
// is on disk. A journal found at a start is an upload whose record was
// never written: the station writes it then, result "interrupted", unless
// the record file already holds a line with its id (the parent died after
// the line, before the removal). One file per device, so the worker's next
// journal never meets the parent's removal of the last.
//
// Beside it, last-device holds the number of the fixture's last device,
// so that numbers go on across restarts (and outputs NNNNN.out never meet).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "device_record.h"

struct UploadJournal {
    std::string port;    // the name the worker opened
    std::string fixture; // the fixture's name
    StationFacts facts;  // the map and station the record will name
    DeviceRun run;       // id, device, started, device_path, adapter serial
};

// "00017.journal": the device number as the outputs have it.
std::string JournalFileName(uint32_t device);

// The journal as its file's text, and back; false for text that is none
// (torn, garbage, another version).
std::string EncodeJournal(const UploadJournal &journal);
bool DecodeJournal(const std::string &text, UploadJournal *journal);

// Written durably (durable_file.h) into folder. 0, or the system's error code.
int WriteJournal(const std::string &folder, const UploadJournal &journal);
int RemoveJournal(const std::string &folder, uint32_t device);

struct FoundJournals {
    std::vector<UploadJournal> journals;  // by device number
    std::vector<std::string> problems;    // "FILE: why", for each journal that does not read
    uint32_t highest = 0;                 // the highest device number a journal's name gives, read or not
};

// The journals of folder. One that does not read is moved aside to
// NAME.unreadable (kept for a person, never read again) and reported;
// what a write aside left (NAME.tmp) was never a journal and goes.
FoundJournals TakeJournals(const std::string &folder);

// The fixture's last device number: 0 when the file is missing or holds
// no number.
uint32_t ReadLastDevice(const std::string &folder);
int WriteLastDevice(const std::string &folder, uint32_t device);

// The ids among ids that a line of the record file at path holds as its
// "id". A file that does not open holds none.
std::set<std::string> RecordedIds(const std::string &path, const std::set<std::string> &ids);
