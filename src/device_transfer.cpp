// The device operations as sequences of named steps. Each step prints its
// own lines and notes in the upload's outcome the first thing that went
// wrong; the sequence looks only at what the step returns and at that
// outcome.
#include "device_transfer.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "file_handles.h"
#include "globals.h"
#include "map_format.h"
#include "operator_display.h"
#include "platform_time.h"
#include "progress_log.h"
#include "resource_map.h"
#include "serial_link.h"

namespace {

// The port the device operations talk to: the default when the argument is
// (nearly) empty, otherwise the argument cut to PORT_NAME_SIZE characters.
struct PortName {
    char text[PORT_NAME_SIZE + 1] = {};

    explicit PortName(const char *argument) {
        const char *chosen = (argument == nullptr || strnlen(argument, 2) < 2) ? PORT_NAME_DEFAULT : argument;
        strncpy(text, chosen, PORT_NAME_SIZE);
        text[PORT_NAME_SIZE] = '\0';
    }
};

// Set by RequestUploadStop, possibly from a signal handler or another
// thread: a lock-free atomic serves both.
std::atomic<bool> upload_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop request is set inside signal handlers");

// The pause the device gets after each accepted record; a stop request cuts
// it short, so a stopped upload sends its exit command at once.
void PauseAfterRecord() {
    constexpr unsigned int kSliceMs = 50;
    for (unsigned int waited = 0; waited < PAUSE_MS && !upload_stop_requested; waited += kSliceMs) PauseMs(kSliceMs);
}

// Notes the first thing that went wrong; later failures are its consequences.
void NoteFailure(UploadOutcome &outcome, UploadFailure failure, int block) {
    if (outcome.failure != UploadFailure::kNone) return;
    outcome.failure = failure;
    outcome.failed_block = block;
}

// A byte that did not go out: either the port is gone or the send failed.
void NoteLinkFailure(UploadOutcome &outcome, int block) {
    NoteFailure(outcome, SerialPortLost() ? UploadFailure::kDeviceGone : UploadFailure::kSendError, block);
}

// Opens the link to the device. A port that does not open is reported with
// the link's code, followed by a hint naming the ports that exist.
//
// Only the upload closes the port again (SerialDisconnect): its caller goes
// on afterwards. The erase and the screenshot download are the last thing
// their run does, so they leave the port open and the system closes it as
// the process exits; port_lock's exit handler releases the lock first.
bool ConnectOrReport(const PortName &portname) {
    const int err = SerialConnect(portname.text);
    if (err == 0) return true;
    printf("* SerialConnect Error [err=%d]\n", err);
    PrintPortHint(portname.text, err);
    return false;
}

// The answer byte as the messages show it: a signed byte widened to int,
// so 0x89 reads -119 in decimal and FFFFFF89 in hexadecimal.
int AsSignedByte(char byte) { return static_cast<int>(static_cast<signed char>(byte)); }

// Opens the map for reading, but only when it is a regular file: a FIFO or a
// device named like the map must neither block the open nor be streamed to
// the device. The size comes from the same open file that is then read.
FilePtr OpenMapFile(const char *path, uint32_t *size) {
    FilePtr file = OpenRegularFile(path, "rb");
    struct stat st {};
    if (!file || fstat(fileno(file.get()), &st) != 0) return nullptr;
    setvbuf(file.get(), nullptr, _IOFBF, 1 << 16);
    *size = static_cast<uint32_t>(st.st_size);
    return file;
}

// Sends the bytes of one header field (a block or a size) of a message,
// stopping at the first that fails, whose result is printed and returned.
int SendFieldBytes(const unsigned char *bytes, int count) {
    for (int i = 0; i < count; ++i) {
        const int err = SerialSend(static_cast<char>(bytes[i]));
        if (err != 0) {
            printf("* SerialSend on [Block] Error %d\n", err);
            return err;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The upload, one record at a time. A failure inside a record lets the rest
// of that record run, so the device sees a message of the length it was
// told; the upload ends after it. The outcome's failure is that signal.

struct Upload {
    FILE *map;
    const char *map_path;
    UploadOutcome &outcome;
    UploadObserver observer;
    uint32_t bytes_read = 0;  // of the map, its first line included
};

void TellProgress(const Upload &upload, int block) {
    UploadProgress progress;
    progress.bytes_sent = upload.bytes_read;
    progress.map_bytes = upload.outcome.map_bytes;
    progress.records_accepted = upload.outcome.records_accepted;
    progress.map_records = upload.outcome.map_records;
    progress.block = block;
    upload.observer(progress);
}

struct Record {
    MapRecordHeader header;
    uint32_t checksum = 0;
    long read = 0;               // bytes read after the header, the terminator included
    bool ended_in_data = false;  // the map ended before this record's terminator
};

// What reading a record header found.
enum class HeaderStep { kRecord, kMapEnded, kFailed };
// How a record ended.
enum class RecordStep { kNextRecord, kMapEnded, kStop };

bool Failed(const Upload &upload) { return upload.outcome.failure != UploadFailure::kNone; }

// The map's first line (a lone 13 in every map the builder writes) is not
// sent. It is skipped up to its 13, as the check reads it, so that what is
// uploaded is exactly what was checked. False when there are bytes but no
// record can begin: nothing of this map is sent.
bool SkipFirstLine(Upload &upload) {
    const MapFirstLine line = ReadMapFirstLine(upload.map);
    upload.bytes_read += line.bytes;
    if (line.ended || line.bytes == 0) return true;
    printf("ERR: Unattended end of file in the first line\n");
    NoteFailure(upload.outcome, UploadFailure::kMapFraming, -1);
    return false;
}

HeaderStep ReadHeader(Upload &upload, Record &record) {
    const int read = ReadMapRecordHeader(upload.map, &record.header);
    if (read == kMapEnded) {
        if (!ferror(upload.map)) return HeaderStep::kMapEnded;
        printf("* ERROR: cannot read %s\n", upload.map_path);
        NoteFailure(upload.outcome, UploadFailure::kMapUnreadable, -1);
        return HeaderStep::kFailed;
    }
    if (read == kHeaderCut) {
        printf("ERR: Unattended end of file inside a record header\n");
        NoteFailure(upload.outcome, UploadFailure::kMapFraming, -1);
        return HeaderStep::kFailed;
    }
    upload.bytes_read += kRecordHeaderSize;
    const int block = record.header.block;
    const long size = record.header.size;
    if (upload_stop_requested) {
        // Stopped between records (in the pause after the last one): the
        // record that was next is the one the device did not get.
        NoteFailure(upload.outcome, UploadFailure::kInterrupted, block);
        return HeaderStep::kFailed;
    }
    printf("Reading from block %d  -> size %ld\n", block, size);
    if (size < 0) {
        // No terminator position exists for it: sending on would push the
        // rest of the map to the device as this record's data.
        printf("* ERROR: invalid size %ld on block %d\n", size, block);
        NoteFailure(upload.outcome, UploadFailure::kMapFraming, block);
        return HeaderStep::kFailed;
    }
    return HeaderStep::kRecord;
}

// CMD_PUT, the block and the size; the size goes out also when the block
// did not.
void SendPutHeader(Upload &upload, const Record &record) {
    const int block = record.header.block;
    const int err = SerialSend(static_cast<char>(CMD_PUT));
    if (err != 0) {
        printf("* SerialSend on [CMD_PUT] Error %d\n", err);
        NoteLinkFailure(upload.outcome, block);
    }
    const bool block_sent = SendFieldBytes(BlockBytes(record.header), kBlockBytes) == 0;
    const bool size_sent = SendFieldBytes(SizeBytes(record.header), kSizeBytes) == 0;
    if (!block_sent || !size_sent) NoteLinkFailure(upload.outcome, block);
}

// Sends the record's data, up to its terminator, which is read but not sent.
void SendData(Upload &upload, Record &record) {
    printf("Sending data...\n");
    const int block = record.header.block;
    const long terminator_at = static_cast<long>(record.header.size) + 1;
    for (;;) {
        const int x = getc(upload.map);
        if (x == EOF) {
            record.ended_in_data = true;
            break;
        }
        ++upload.bytes_read;
        if (++record.read == terminator_at) {
            if (!IsTerminator(x)) {
                printf("* ERROR: no terminator found on pos %ld : expected [%d] but found [%d])\n", record.read,
                       TERMINATOR, x);
                NoteFailure(upload.outcome, UploadFailure::kMapFraming, block);
            }
            break;
        }
        const int err = SerialSend(static_cast<char>(x));
        if (err != 0) {
            printf("* SerialSend on [data] Error %d\n", err);
            NoteLinkFailure(upload.outcome, block);
            break;
        }
        ++upload.outcome.bytes_sent;
        record.checksum = ChecksumAdd(record.checksum, static_cast<unsigned char>(x));
        if (upload_stop_requested) {
            // The record is left unfinished: the exit command follows at once.
            NoteFailure(upload.outcome, UploadFailure::kInterrupted, block);
            break;
        }
        TellProgress(upload, block);
    }
    ProgressHide();
    // A map that ended inside the data is what went wrong, whatever the
    // device then makes of the short message; it is reported after the
    // answer. Only a missing last terminator is no fault.
    if (record.ended_in_data && (ferror(upload.map) || record.read < record.header.size)) {
        NoteFailure(upload.outcome, ferror(upload.map) ? UploadFailure::kMapUnreadable : UploadFailure::kMapFraming,
                    block);
    }
}

// True when the device accepted the record.
bool SendChecksumAndReadAnswer(Upload &upload, const Record &record) {
    const int block = record.header.block;
    int err = SerialSend4B(record.checksum);
    if (err != 0) {
        printf("* SerialSend4B Error %d\n", err);
        NoteLinkFailure(upload.outcome, block);
        return false;
    }
    char rcv = 0;
    err = SerialReceive(&rcv, 1);
    if (err != 0) {
        printf("* SerialReceive Error %d\n", err);
        NoteFailure(upload.outcome, SerialPortLost() ? UploadFailure::kDeviceGone : UploadFailure::kNoAnswer, block);
        return false;
    }
    const int shown = AsSignedByte(rcv);
    printf("* Received CheckSum response %d [%X]\n", shown, static_cast<unsigned int>(shown));
    const auto answer = static_cast<unsigned char>(rcv);
    if (answer != RESPONSE_OK) {
        if (answer == RESPONSE_KO_CHECKSUM) printf("*ERR CHECKSUM FAILED!\n");
        NoteFailure(upload.outcome, UploadFailure::kRefused, block);
        // The answer belongs to the outcome only when the refusal is what went wrong.
        if (upload.outcome.failure == UploadFailure::kRefused) upload.outcome.answer = answer;
        return false;
    }
    printf("* CHECKSUM OK!\n");
    printf("* FLASH WRITE OK!\n");
    return true;
}

// Reports a map that ended inside the accepted record, moves the progress
// on and pauses.
RecordStep FinishAcceptedRecord(Upload &upload, const Record &record) {
    RecordStep next = Failed(upload) ? RecordStep::kStop : RecordStep::kNextRecord;
    if (record.ended_in_data) {
        if (ferror(upload.map)) {
            printf("* ERROR: cannot read %s\n", upload.map_path);
            next = RecordStep::kStop;
        } else if (record.read < record.header.size) {
            printf("ERR: Unattended end of file after read %ld bytes [of %ld]\n", record.read,
                   static_cast<long>(record.header.size));
            next = RecordStep::kStop;
        } else if (next != RecordStep::kStop) {
            next = RecordStep::kMapEnded;  // only the last terminator is missing: every byte went out
        }
    }
    UploadOutcome &outcome = upload.outcome;
    WriteLogProgress(ProgressPercent(upload.bytes_read, outcome.map_bytes));
    ++outcome.records_accepted;
    TellProgress(upload, record.header.block);
    PauseAfterRecord();
    ProgressHide();
    return next;
}

RecordStep UploadRecord(Upload &upload) {
    Record record;
    const HeaderStep header = ReadHeader(upload, record);
    if (header != HeaderStep::kRecord) return header == HeaderStep::kMapEnded ? RecordStep::kMapEnded : RecordStep::kStop;
    SendPutHeader(upload, record);
    SendData(upload, record);
    if (upload.outcome.failure == UploadFailure::kInterrupted) return RecordStep::kStop;
    if (!SendChecksumAndReadAnswer(upload, record)) return RecordStep::kStop;
    return FinishAcceptedRecord(upload, record);
}

void UploadRecords(Upload &upload) {
    if (!SkipFirstLine(upload)) return;
    // A stop request is looked at in every record, before its header is
    // announced and after every data byte.
    while (UploadRecord(upload) == RecordStep::kNextRecord) {
    }
}

// The exit command ends every upload whose port opened.
void SendExit(UploadOutcome &outcome) {
    const bool exit_sent = SerialSendSpecialCmd(static_cast<char>(CMD_EXIT)) == 0;
    printf(exit_sent ? "* SerialSend EXIT [ok]\n" : "* SerialSend EXIT Fault !!\n");
    if (exit_sent) return;
    if (SerialPortLost()) NoteFailure(outcome, UploadFailure::kDeviceGone, -1);
    NoteFailure(outcome, UploadFailure::kExitNotSent, -1);
}

// ---------------------------------------------------------------------------
// The read-back (verify): each record's block asked for with a get request
// of its size, and what comes compared with the map, which is read again
// from its start.

// CMD_GET, the block and the size of a get request; false when a byte did not go out.
bool SendGet(const MapRecordHeader &request) {
    if (SerialSend(static_cast<char>(CMD_GET)) != 0) {
        printf("* SerialSend on [CMD_GET] Error\n");
        return false;
    }
    return SendFieldBytes(BlockBytes(request), kBlockBytes) == 0 && SendFieldBytes(SizeBytes(request), kSizeBytes) == 0;
}

// Reads one record's answer to the end (or until the device falls silent)
// and compares it with the record's data in the map; notes what differs.
// True when the record read back whole and equal.
bool ReadBackRecord(FILE *map, const MapRecordHeader &header, UploadOutcome &outcome) {
    const int block = header.block;
    const auto size = static_cast<uint32_t>(header.size);
    printf("Reading back block %d  -> size %lu\n", block, static_cast<unsigned long>(size));
    if (!SendGet(header)) {
        NoteLinkFailure(outcome, block);
        return false;
    }
    uint32_t received = 0;
    long differs_at = -1;
    for (; received < size; ++received) {
        const int expected = getc(map);
        char rcv = 0;
        if (expected == EOF || SerialReceive(&rcv, 1) != 0) break;
        if (differs_at < 0 && static_cast<unsigned char>(rcv) != expected) differs_at = static_cast<long>(received);
        if (upload_stop_requested) {
            NoteFailure(outcome, UploadFailure::kInterrupted, block);
            return false;
        }
    }
    getc(map);  // the terminator
    if (differs_at >= 0) {
        printf("* READ BACK differs at byte %ld\n", differs_at);
        NoteFailure(outcome, UploadFailure::kReadBackDiffers, block);
        outcome.read_back_at = static_cast<uint32_t>(differs_at);
    } else if (received < size) {
        printf("* READ BACK %lu of %lu bytes\n", static_cast<unsigned long>(received), static_cast<unsigned long>(size));
        NoteFailure(outcome, SerialPortLost() ? UploadFailure::kDeviceGone : UploadFailure::kReadBackShort, block);
        outcome.read_back_at = received;
        outcome.read_back_of = size;
    } else {
        printf("* READ BACK OK\n");
    }
    return outcome.failure == UploadFailure::kNone;
}

// Only after an upload that failed in nothing: every record went in.
void ReadBackRecords(FILE *map, UploadOutcome &outcome) {
    if (outcome.failure != UploadFailure::kNone || fseek(map, 0, SEEK_SET) != 0) return;
    const double started = static_cast<double>(MonotonicMs());
    ReadMapFirstLine(map);
    MapRecordHeader header;
    while (ReadMapRecordHeader(map, &header) == kHeaderRead && header.size >= 0) {
        if (upload_stop_requested) {
            NoteFailure(outcome, UploadFailure::kInterrupted, header.block);
            break;
        }
        if (!ReadBackRecord(map, header, outcome)) break;
    }
    outcome.read_back_seconds = (static_cast<double>(MonotonicMs()) - started) / 1000.0;
}

// ---------------------------------------------------------------------------
// The screenshot download

// CMD_GET, the block and the size of the screenshot.
int SendGetRequest() {
    const MapRecordHeader request = EncodeRecordHeader(SCREENSHOT_BLOCK, SCREENSHOT_SIZE);
    const int err = SerialSend(static_cast<char>(CMD_GET));
    if (err != 0) {
        printf("* SerialSend on [CMD_GET] Error %d\n", err);
        return kGetCommandNotSent;
    }
    if (SendFieldBytes(BlockBytes(request), kBlockBytes) != 0) return kGetBlockNotSent;
    if (SendFieldBytes(SizeBytes(request), kSizeBytes) != 0) return kGetSizeNotSent;
    return kScreenshotComplete;
}

// Writes what the device sends to image until it falls silent, which is the
// only end of a download, a complete one too.
int ReceiveScreenshot(FILE *image, unsigned long *received) {
    DownloadBegin(static_cast<uint32_t>(SCREENSHOT_SIZE));
    for (;;) {
        char rcv = 0;
        const int err = SerialReceive(&rcv, 1);
        if (err != 0) {
            DownloadEnd();
            printf("* SerialReceive Error %d\n", err);
            return kScreenshotComplete;
        }
        if (fputc(static_cast<unsigned char>(rcv), image) == EOF) {
            DownloadEnd();
            printf("* ERROR * writing '%s'\n", SCREENSHOT_FILE);
            return kScreenshotNotWritten;
        }
        ++*received;
        DownloadUpdate(static_cast<uint32_t>(*received));
    }
}

}  // namespace

uint32_t ChecksumAdd(uint32_t checksum, unsigned char byte) {
    // The reset comes before the addition, so the sum stays within 31 bits;
    // the device applies the same rule.
    if (checksum > 0x7FFFFF00u) checksum = 0;
    return checksum + byte;
}

int PingWait() {
    for (int retry = 1; retry <= MAX_PING_RETRY; ++retry) {
        if (SerialSendSpecialCmd(static_cast<char>(CMD_PING)) == 0) {
            char rcv = 0;
            if (SerialReceive(&rcv, 1) != 0) {
                printf("* ping: nothing received\n");
            } else if (static_cast<unsigned char>(rcv) == CMD_PING) {
                return kPingAnswered;
            } else {
                const int shown = AsSignedByte(rcv);
                printf("* ping: received unattended char %d [%X]\n", shown, static_cast<unsigned int>(shown));
            }
        }
        printf("* Ping retry %d\n", retry);
        PauseMs(PAUSE_MS);
    }
    return kPingUnanswered;
}

void RequestUploadStop() { upload_stop_requested = true; }

int SendResourceZebmapFile(const char *port_argument) { return SendResourceZebmapFile(port_argument, nullptr); }

int SendResourceZebmapFile(const char *port_argument, UploadOutcome *outcome_out) {
    return SendResourceZebmapFile(port_argument, outcome_out, ShowUploadProgress);
}

int SendResourceZebmapFile(const char *port_argument, UploadOutcome *outcome_out, UploadObserver observer) {
    return SendResourceZebmapFile(port_argument, outcome_out, observer, UploadSettings{});
}

int SendResourceZebmapFile(const char *port_argument, UploadOutcome *outcome_out, UploadObserver observer,
                           const UploadSettings &settings) {
    if (observer == nullptr) observer = ShowUploadProgress;
    UploadOutcome discarded;
    UploadOutcome &outcome = outcome_out != nullptr ? *outcome_out : discarded;
    outcome = UploadOutcome{};

    char zebmapfile_path[PATH_MAX_SIZE + 1];
    snprintf(zebmapfile_path, sizeof zebmapfile_path, "%s", ZEBMAP_FILE);
    const FilePtr map = OpenMapFile(zebmapfile_path, &outcome.map_bytes);
    if (!map) {
        outcome.failure = UploadFailure::kMapUnreadable;
        return kUploadNoMap;
    }
    // Counting reads the map once more: only for someone who shows or keeps it.
    const bool progress_shown = observer != ShowUploadProgress || LiveLinesShown();
    if (outcome_out != nullptr || progress_shown) outcome.map_records = CountMapRecordsIn(map.get());

    const PortName portname(port_argument);
    printf("Working on port '%s'\n", portname.text);
    if (!ConnectOrReport(portname)) {
        outcome.failure = UploadFailure::kNoPort;
        return kUploadNoPort;
    }

    WriteLogProgress(0);
    ProgressBegin(outcome.map_bytes, outcome.map_records);
    Upload upload{map.get(), zebmapfile_path, outcome, observer};
    UploadRecords(upload);
    ProgressEnd();
    if (settings.verify) ReadBackRecords(map.get(), outcome);
    SendExit(outcome);

    SerialDisconnect();
    upload_stop_requested = false;  // a stop request ends one upload
    return outcome.failure == UploadFailure::kNone ? kUploadComplete : kUploadFailed;
}

int SendResetCommand(const char *port_argument) {
    const PortName portname(port_argument);
    printf("Working on port '%s'\n", portname.text);
    if (!ConnectOrReport(portname)) return kEraseNoPort;
    if (SerialSendSpecialCmd(static_cast<char>(CMD_ERASE)) != 0) {
        // The device may hold a half-erased state or none at all: the
        // operator must hear that the erase did not happen.
        printf("* SerialSend ERASE Fault !!\n");
        return kEraseNotSent;
    }
    printf("* SerialSend ERASE [ok]\n");
    return kEraseSent;
}

int GetResource(const char *port_argument) {
    const PortName portname(port_argument);
    printf("GetResource::Working on port '%s'\n", portname.text);
    if (!ConnectOrReport(portname)) return kScreenshotNoPort;
    const int request = SendGetRequest();
    if (request != kScreenshotComplete) return request;

    // Created only now: a request that did not go out leaves an earlier
    // screenshot as it was.
    FilePtr image(fopen(SCREENSHOT_FILE, "wb+"));
    if (!image) {
        printf("* ERROR * Couldn't create the file %s\n", SCREENSHOT_FILE);
        return kGetCommandNotSent;
    }
    setvbuf(image.get(), nullptr, _IOFBF, 1 << 16);
    unsigned long received = 0;
    if (ReceiveScreenshot(image.get(), &received) != kScreenshotComplete) return kScreenshotNotWritten;

    // Buffered bytes reach the file only at the close; a failure there loses them.
    const bool closed = fclose(image.release()) == 0;
    if (!closed) printf("* ERROR * writing '%s'\n", SCREENSHOT_FILE);
    if (received != static_cast<unsigned long>(SCREENSHOT_SIZE)) {
        printf("* Received %lu bytes of %ld requested\n", received, static_cast<long>(SCREENSHOT_SIZE));
        return closed ? kScreenshotShort : kScreenshotNotWritten;
    }
    return closed ? kScreenshotComplete : kScreenshotNotWritten;
}
