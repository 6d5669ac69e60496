#include "device_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "file_handles.h"
#include "globals.h"
#include "operator_display.h"
#include "platform_time.h"
#include "progress_log.h"
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

void PauseOneSecond() { PauseMs(1000); }

// Set by RequestUploadStop, possibly from a signal handler.
volatile std::sig_atomic_t upload_stop_requested = 0;

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

// The share of the map read so far, truncated toward zero. A map that grew
// while it was being sent must not claim more than 100.
signed char ProgressPercent(uint32_t byte_count, uint32_t byte_tot) {
    if (byte_tot == 0 || byte_count >= byte_tot) return 100;
    const double percent = std::trunc(static_cast<double>(byte_count) / static_cast<double>(byte_tot) * 100.0);
    return static_cast<signed char>(percent);
}

// Reads the five header bytes that follow a record's first byte. False when
// the map ends among them.
bool ReadRestOfHeader(FILE *map, unsigned char first, unsigned char bc[2], unsigned char sc[4]) {
    unsigned char rest[5];
    for (unsigned char &byte : rest) {
        const int x = getc(map);
        if (x == EOF) return false;
        byte = static_cast<unsigned char>(x);
    }
    bc[0] = first;
    bc[1] = rest[0];
    memcpy(sc, rest + 1, 4);
    return true;
}

// Sends the bytes of one header field (a block or a size) of a message,
// stopping at the first that fails, whose result is printed and returned.
template <size_t N>
int SendFieldBytes(const unsigned char (&bytes)[N]) {
    for (const unsigned char byte : bytes) {
        const int err = SerialSend(static_cast<char>(byte));
        if (err != 0) {
            printf("* SerialSend on [Block] Error %d\n", err);
            return err;
        }
    }
    return 0;
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
                return 0;
            } else {
                const int shown = AsSignedByte(rcv);
                printf("* ping: received unattended char %d [%X]\n", shown, static_cast<unsigned int>(shown));
            }
        }
        printf("* Ping retry %d\n", retry);
        PauseOneSecond();
    }
    return 1;
}

void RequestUploadStop() { upload_stop_requested = 1; }

int SendResourceZebmapFile(const char *port_argument) { return SendResourceZebmapFile(port_argument, nullptr); }

int SendResourceZebmapFile(const char *port_argument, UploadOutcome *outcome_out) {
    UploadOutcome discarded;
    UploadOutcome &outcome = outcome_out != nullptr ? *outcome_out : discarded;
    outcome = UploadOutcome{};

    char zebmapfile_path[PATH_MAX_SIZE + 1];
    snprintf(zebmapfile_path, sizeof zebmapfile_path, "%s", ZEBMAP_FILE);

    uint32_t byte_tot = 0;
    const FilePtr map = OpenMapFile(zebmapfile_path, &byte_tot);
    if (!map) {
        outcome.failure = UploadFailure::kMapUnreadable;
        return -2;
    }
    FILE *fpo = map.get();
    outcome.map_bytes = byte_tot;
    if (outcome_out != nullptr || LiveLinesShown()) outcome.map_records = CountMapRecordsIn(fpo);

    const PortName portname(port_argument);
    printf("Working on port '%s'\n", portname.text);
    if (!ConnectOrReport(portname)) {
        outcome.failure = UploadFailure::kNoPort;
        return -11;
    }

    WriteLogProgress(0);
    uint32_t records_accepted = 0;
    ProgressBegin(byte_tot, outcome.map_records);

    // The map's first line (a lone 13 in every map the builder writes) is
    // not sent. It is skipped up to its 13, as the check reads it, so that
    // what is uploaded is exactly what was checked.
    uint32_t byte_count = 0;
    bool first_line_ended = false;
    for (int x = getc(fpo); x != EOF; x = getc(fpo)) {
        ++byte_count;
        if (x == TERMINATOR) {
            first_line_ended = true;
            break;
        }
    }

    bool bContinue = true;
    bool complete = false;  // the map ended where a record would begin, or right after an accepted record's data
    bool failed = false;    // something in a record did not go as it should
    // A failure inside a record lets the rest of that record run; the upload
    // ends after it.
    const auto end_after_this_record = [&] {
        bContinue = false;
        failed = true;
    };
    if (!first_line_ended && byte_count > 0) {
        // Bytes, but no record can begin: nothing of this map is sent.
        printf("ERR: Unattended end of file in the first line\n");
        NoteFailure(outcome, UploadFailure::kMapFraming, -1);
        end_after_this_record();
    }
    while (bContinue) {
        if (upload_stop_requested) {
            NoteFailure(outcome, UploadFailure::kInterrupted, -1);
            failed = true;
            break;
        }
        uint32_t checksum = 0;

        const int first = getc(fpo);
        if (first == EOF) {
            if (ferror(fpo)) {
                printf("* ERROR: cannot read %s\n", zebmapfile_path);
                NoteFailure(outcome, UploadFailure::kMapUnreadable, -1);
                failed = true;
            } else {
                complete = true;
            }
            break;
        }
        unsigned char bc[2];
        unsigned char sc[4];
        if (!ReadRestOfHeader(fpo, static_cast<unsigned char>(first), bc, sc)) {
            printf("ERR: Unattended end of file inside a record header\n");
            NoteFailure(outcome, UploadFailure::kMapFraming, -1);
            failed = true;
            break;
        }
        byte_count += 6;
        const int block = bc[0] * 256 + bc[1];
        const uint32_t raw_size = (uint32_t{sc[0]} << 24) | (uint32_t{sc[1]} << 16) | (uint32_t{sc[2]} << 8) | sc[3];
        const int32_t size = static_cast<int32_t>(raw_size);
        printf("Reading from block %d  -> size %ld\n", block, static_cast<long>(size));
        if (size < 0) {
            // No terminator position exists for it: sending on would push the
            // rest of the map to the device as this record's data.
            printf("* ERROR: invalid size %ld on block %d\n", static_cast<long>(size), block);
            NoteFailure(outcome, UploadFailure::kMapFraming, block);
            failed = true;
            break;
        }

        // After a failure inside the record, the rest of the record still
        // runs so the device sees a message of the length it was told.
        int err = SerialSend(static_cast<char>(CMD_PUT));
        if (err != 0) {
            printf("* SerialSend on [CMD_PUT] Error %d\n", err);
            NoteLinkFailure(outcome, block);
            end_after_this_record();
        }
        const bool block_sent = SendFieldBytes(bc) == 0;
        const bool size_sent = SendFieldBytes(sc) == 0;  // also when the block failed
        if (!block_sent || !size_sent) {
            NoteLinkFailure(outcome, block);
            end_after_this_record();
        }
        printf("Sending data...\n");

        long rc = 0;
        bool ended_in_data = false;  // the map ended before this record's terminator
        for (;;) {
            const int x = getc(fpo);
            if (x == EOF) {
                ended_in_data = true;
                break;
            }
            ++byte_count;
            ++rc;
            if (rc == static_cast<long>(size) + 1) {
                if (x != TERMINATOR) {
                    printf("* ERROR: no terminator found on pos %ld : expected [%d] but found [%d])\n", rc,
                           TERMINATOR, x);
                    NoteFailure(outcome, UploadFailure::kMapFraming, block);
                    end_after_this_record();
                }
                break;
            }
            err = SerialSend(static_cast<char>(x));
            if (err != 0) {
                printf("* SerialSend on [data] Error %d\n", err);
                NoteLinkFailure(outcome, block);
                end_after_this_record();
                break;
            }
            ++outcome.bytes_sent;
            checksum = ChecksumAdd(checksum, static_cast<unsigned char>(x));
            if (upload_stop_requested) {
                // The record is left unfinished: the exit command follows at once.
                NoteFailure(outcome, UploadFailure::kInterrupted, block);
                break;
            }
            ProgressUpdate(byte_count, records_accepted);
        }
        ProgressHide();
        // A map that ended inside the data is what went wrong, whatever the
        // device then makes of the short message; it is reported after the
        // answer. Only a missing last terminator is no fault.
        if (ended_in_data && (ferror(fpo) || rc < static_cast<long>(size))) {
            NoteFailure(outcome, ferror(fpo) ? UploadFailure::kMapUnreadable : UploadFailure::kMapFraming, block);
        }
        if (outcome.failure == UploadFailure::kInterrupted) {
            failed = true;
            break;
        }

        err = SerialSend4B(checksum);
        if (err != 0) {
            printf("* SerialSend4B Error %d\n", err);
            NoteLinkFailure(outcome, block);
            failed = true;
            break;
        }

        char rcv = 0;
        err = SerialReceive(&rcv, 1);
        if (err != 0) {
            printf("* SerialReceive Error %d\n", err);
            NoteFailure(outcome, SerialPortLost() ? UploadFailure::kDeviceGone : UploadFailure::kNoAnswer, block);
            failed = true;
            break;
        }
        const int shown = AsSignedByte(rcv);
        printf("* Received CheckSum response %d [%X]\n", shown, static_cast<unsigned int>(shown));

        if (static_cast<unsigned char>(rcv) != RESPONSE_OK) {
            if (static_cast<unsigned char>(rcv) == RESPONSE_KO_CHECKSUM) printf("*ERR CHECKSUM FAILED!\n");
            NoteFailure(outcome, UploadFailure::kRefused, block);
            outcome.answer = static_cast<unsigned char>(rcv);
            failed = true;
            break;
        }

        printf("* CHECKSUM OK!\n");
        printf("* FLASH WRITE OK!\n");
        if (ended_in_data) {
            if (ferror(fpo)) {
                printf("* ERROR: cannot read %s\n", zebmapfile_path);
                NoteFailure(outcome, UploadFailure::kMapUnreadable, block);
                failed = true;
            } else if (rc < static_cast<long>(size)) {
                printf("ERR: Unattended end of file after read %ld bytes [of %ld]\n", rc, static_cast<long>(size));
                NoteFailure(outcome, UploadFailure::kMapFraming, block);
                failed = true;
            } else {
                // Only the last terminator is missing: every byte of the map went out.
                complete = true;
            }
            bContinue = false;
        }
        WriteLogProgress(ProgressPercent(byte_count, byte_tot));
        ProgressUpdate(byte_count, ++records_accepted);
        outcome.records_accepted = records_accepted;
        PauseOneSecond();
        ProgressHide();
    }

    ProgressEnd();
    const bool exit_sent = SerialSendSpecialCmd(static_cast<char>(CMD_EXIT)) == 0;
    printf(exit_sent ? "* SerialSend EXIT [ok]\n" : "* SerialSend EXIT Fault !!\n");
    if (!exit_sent) {
        if (SerialPortLost()) NoteFailure(outcome, UploadFailure::kDeviceGone, -1);
        NoteFailure(outcome, UploadFailure::kExitNotSent, -1);
    }

    SerialDisconnect();
    upload_stop_requested = 0;  // a stop request ends one upload
    return (complete && !failed && exit_sent) ? 0 : -3;
}

int SendResetCommand(const char *port_argument) {
    const PortName portname(port_argument);
    printf("Working on port '%s'\n", portname.text);
    if (!ConnectOrReport(portname)) return -11;
    if (SerialSendSpecialCmd(static_cast<char>(CMD_ERASE)) != 0) {
        // The device may hold a half-erased state or none at all: the
        // operator must hear that the erase did not happen.
        printf("* SerialSend ERASE Fault !!\n");
        return -1;
    }
    printf("* SerialSend ERASE [ok]\n");
    return 0;
}

int GetResource(const char *port_argument) {
    const PortName portname(port_argument);
    printf("GetResource::Working on port '%s'\n", portname.text);
    if (!ConnectOrReport(portname)) return -11;

    // The get request: CMD_GET, the block (2 bytes) and the size (4 bytes),
    // high bytes first.
    const unsigned char bc[2] = {static_cast<unsigned char>(SCREENSHOT_BLOCK >> 8),
                                 static_cast<unsigned char>(SCREENSHOT_BLOCK & 0xFF)};
    const uint32_t requested = static_cast<uint32_t>(SCREENSHOT_SIZE);
    const unsigned char sc[4] = {static_cast<unsigned char>(requested >> 24), static_cast<unsigned char>(requested >> 16),
                                 static_cast<unsigned char>(requested >> 8), static_cast<unsigned char>(requested)};

    int err = SerialSend(static_cast<char>(CMD_GET));
    if (err != 0) {
        printf("* SerialSend on [CMD_GET] Error %d\n", err);
        return -1;
    }
    if (SendFieldBytes(bc) != 0) return -2;
    if (SendFieldBytes(sc) != 0) return -3;

    // Created only now: a request that did not go out leaves an earlier
    // screenshot as it was.
    FilePtr image(fopen(SCREENSHOT_FILE, "wb+"));
    if (!image) {
        printf("* ERROR * Couldn't create the file %s\n", SCREENSHOT_FILE);
        return -1;
    }
    setvbuf(image.get(), nullptr, _IOFBF, 1 << 16);

    unsigned long received = 0;
    bool bContinue = true;
    DownloadBegin(requested);
    while (bContinue) {
        char rcv = 0;
        err = SerialReceive(&rcv, 1);
        if (err != 0) {
            // Silence is the only end of a download, a complete one too.
            DownloadEnd();
            printf("* SerialReceive Error %d\n", err);
            bContinue = false;
        } else {
            if (fputc(static_cast<unsigned char>(rcv), image.get()) == EOF) {
                DownloadEnd();
                printf("* ERROR * writing '%s'\n", SCREENSHOT_FILE);
                return -4;
            }
            ++received;
            DownloadUpdate(static_cast<uint32_t>(received));
        }
    }
    // Buffered bytes reach the file only at the close; a failure there loses them.
    const bool closed = fclose(image.release()) == 0;
    if (!closed) printf("* ERROR * writing '%s'\n", SCREENSHOT_FILE);

    if (received != static_cast<unsigned long>(SCREENSHOT_SIZE)) {
        printf("* Received %lu bytes of %ld requested\n", received, static_cast<long>(SCREENSHOT_SIZE));
        return closed ? -5 : -4;
    }
    return closed ? 0 : -4;
}
