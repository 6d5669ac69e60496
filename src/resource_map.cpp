// The resource map file (its layout is map_format's): the builder
// writes one byte 13 as the first line, then one record per resource.
//
// The builder packs resources/*.rawh + *.raw into zebmap.map and writes the
// matching C declarations into zebmap.c; the checker reads the map back and
// reports the framing of every record. Both stream their data in blocks, so
// memory stays small whatever the sizes of the resources.
#include "resource_map.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <stdio_ext.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "argb4.h"
#include "file_handles.h"
#include "globals.h"
#include "map_format.h"
#include "resource_warnings.h"

namespace {

constexpr size_t kCopyBlockSize = 64 * 1024;

// An output of the build, checked when it is closed: buffered writes of a
// full disk only fail when the buffer is flushed.
class OutputFile {
public:
    // Creates or empties the file (see CreateOutputFile for what is refused).
    bool Create(const char *path, const char *mode) {
        path_ = path;
        file_ = CreateOutputFile(path, mode);
        return file_ != nullptr;
    }

    FILE *get() const { return file_.get(); }

    // A write failure already reported by its own message is not reported
    // again when the file is closed.
    void MarkFailureReported() { failure_reported_ = true; }

    // Flushes and closes; false (and the message) when anything written to
    // the file did not reach it.
    bool Close() {
        if (!file_) return true;
        bool complete = ferror(file_.get()) == 0;
        if (fclose(file_.release()) != 0) complete = false;
        if (!complete && !failure_reported_) printf("* ERROR * writing '%s'\n", path_);
        return complete;
    }

private:
    FilePtr file_;
    const char *path_ = "";
    bool failure_reported_ = false;
};

// ---------------------------------------------------------------------------
// Header files

// Reads the first line of a header file into line: the characters before the
// first line feed, or all of them when the file has none. The first
// MAX_LINE_SIZE - 1 are kept, the rest are read and dropped.
void ReadFirstLine(FILE *header, char (&line)[MAX_LINE_SIZE]) {
    size_t kept = 0;
    int c;
    while ((c = getc(header)) != EOF && c != '\n') {
        if (kept < MAX_LINE_SIZE - 1) line[kept++] = static_cast<char>(c);
    }
    line[kept] = '\0';
}

// A decimal integer at the start of [begin, end): optional white space, an
// optional sign, at least one digit; whatever follows is ignored. False when
// there is no number or it does not fit in 32 bits.
bool ParseField(const char *begin, const char *end, int32_t &value) {
    const char *p = begin;
    while (p < end && isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end || !isdigit(static_cast<unsigned char>(*p))) return false;
    constexpr long long kLimit = 2147483648LL;  // magnitude of INT32_MIN
    long long magnitude = 0;
    for (; p < end && isdigit(static_cast<unsigned char>(*p)); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > kLimit) return false;
    }
    if (!negative && magnitude == kLimit) return false;
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

// The format field's text without the blanks and quotes around it.
std::string FormatFieldText(const char *begin, const char *end) {
    while (begin < end && (isspace(static_cast<unsigned char>(*begin)) || *begin == '\'' || *begin == '"')) ++begin;
    while (end > begin && (isspace(static_cast<unsigned char>(end[-1])) || end[-1] == '\'' || end[-1] == '"')) --end;
    return std::string(begin, end);
}

// The converter's first line, fields split at commas (a run of commas is one
// separator, empty fields don't count):
//   /*('file properties: ', 'resolution ', 100, 'x', 50, 'format ', 'ARGB4', 'stride ', 200, ' total size ', 20000)*/
// Width, height, stride and size are fields 2, 4, 8 and 10, the format field
// 6. False when any of the numbers is missing or no number, or the size is
// negative.
bool ParseHeaderLine(const char *line, ResourceHeader &header) {
    resource_image_t &resource = header.image;
    struct Wanted {
        int field;
        int32_t *target;
    };
    const Wanted wanted[] = {{2, &resource.width}, {4, &resource.height}, {8, &resource.stride}, {10, &resource.size}};
    bool found[4] = {false, false, false, false};
    constexpr int kFormatField = 6;

    int field = 0;
    const char *p = line;
    while (*p != '\0') {
        while (*p == ',') ++p;
        if (*p == '\0') break;
        const char *begin = p;
        while (*p != '\0' && *p != ',') ++p;
        for (size_t i = 0; i < 4; ++i) {
            if (wanted[i].field == field) found[i] = ParseField(begin, p, *wanted[i].target);
        }
        if (field == kFormatField) header.format = FormatFieldText(begin, p);
        if (++field > 10) break;
    }
    return found[0] && found[1] && found[2] && found[3] && resource.size >= 0;
}

bool IsDotEntry(const char *name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// A name ending exactly in "rawh", longer than five characters.
bool IsCandidateName(const char *name) {
    if (IsDotEntry(name)) return false;
    const size_t length = strlen(name);
    return length > 5 && memcmp(name + length - 4, "rawh", 4) == 0;
}

// ---------------------------------------------------------------------------
// The listing

struct ListedEntry {
    std::string name;
    int reclen;  // as the listing reported it, for the File: line
};

// ASCII letters only: the order must not depend on the locale.
unsigned char FoldedByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// The whole listing, sorted: the blocks must not depend on the order in
// which a file system happens to list a folder.
std::vector<ListedEntry> ReadListingInNameOrder(DIR *listing) {
    std::vector<ListedEntry> entries;
    while (const dirent *entry = readdir(listing)) entries.push_back({entry->d_name, entry->d_reclen});
    std::stable_sort(entries.begin(), entries.end(), [](const ListedEntry &a, const ListedEntry &b) {
        return ListingNameBefore(a.name.c_str(), b.name.c_str());
    });
    return entries;
}

// ---------------------------------------------------------------------------
// The map builder

// Outcome of one candidate entry: a complete record, an entry skipped with
// its error printed, or one of the build's fatal statuses.
constexpr int32_t kRecordWritten = 0;
constexpr int32_t kEntrySkipped = 2;

void AppendSnippetBlock(FILE *snippet, const char *resource_name, const resource_image_t &resource,
                        int32_t block) {
    fprintf(snippet,
            "\nBitmap_header_t %s[] = \n{\n // format,width,height,stride,arrayoffset \n { ARGB4, %d, %d, %d, 0 }\n};\n",
            resource_name, resource.width, resource.height, resource.stride);
    fputs(" /* Add a line like the one below (replacing IMG_x) to ImgResource[] array: \n", snippet);
    fprintf(snippet, " { IMG_x, %s,  NULL, 0,  1, %d}, // from flash block %d \n", resource_name, block, block);
    fputs(" */ \n\n", snippet);
}

// Copies up to count bytes of data into the map through the stdio buffers,
// adding the bytes read to *wc. A write that fails or data that ends early
// is reported and gives -6.
int32_t CopyBuffered(OutputFile &map, FILE *data, long count, long *wc) {
    unsigned char buffer[kCopyBlockSize];
    long copied = 0;
    while (copied < count) {
        const size_t wanted = std::min(kCopyBlockSize, static_cast<size_t>(count - copied));
        const size_t got = fread(buffer, 1, wanted, data);
        if (got > 0 && fwrite(buffer, 1, got, map.get()) != got) {
            printf("* ERROR * writing raw data in zebmap_file\n");
            map.MarkFailureReported();
            return kBuildDataNotWritten;
        }
        copied += static_cast<long>(got);
        *wc += static_cast<long>(got);
        if (got < wanted) {
            printf("* Unattended EOF after %ld bytes\n", *wc);
            return kBuildDataNotWritten;
        }
    }
    return kRecordWritten;
}

// Large records are copied by the kernel from file to file, as cat does,
// instead of twice through this process. Only whole buffers go that way,
// the ones stdio would have written straight through anyway: the data up to
// the end of the map's partly filled buffer goes first, through it (*head);
// then the full buffer is flushed and *middle bytes, a whole number of
// buffers, are copied by the kernel; the rest goes through the buffer again.
// Every byte reaches the same place as a buffered copy puts it, and the
// buffer holds the same bytes afterwards, so a later failure to write shows
// at the same call. *middle stays 0 where the kernel copy does not apply: a
// map that is no regular file (a device such as /dev/full), a small record,
// data shorter than the record.
constexpr long kKernelCopyMinimum = 1 << 20;

void SplitForKernelCopy(FILE *out, FILE *data, long size, long *head, long *middle) {
    *head = size;
    *middle = 0;
#if defined(__linux__)
    if (size < kKernelCopyMinimum) return;
    struct stat map_st {};
    struct stat data_st {};
    if (fstat(fileno(out), &map_st) != 0 || !S_ISREG(map_st.st_mode)) return;
    if (fstat(fileno(data), &data_st) != 0 || !S_ISREG(data_st.st_mode)) return;
    const auto buffer_size = static_cast<long>(__fbufsize(out));
    const auto pending = static_cast<long>(__fpending(out));
    const off_t data_position = ftello(data);
    if (buffer_size <= 0 || pending > buffer_size || data_position < 0) return;
    const long available = static_cast<long>(std::min<off_t>(size, data_st.st_size - data_position));
    const long fill = buffer_size - pending;
    if (available - fill < kKernelCopyMinimum) return;
    *head = fill;
    *middle = (available - fill) / buffer_size * buffer_size;
#else
    (void)out;
    (void)data;
#endif
}

// Copies count bytes from data's position to the map's file position in the
// kernel; the map's buffer must be empty. Returns the bytes copied, fewer
// when the kernel stopped or cannot copy here (the caller carries on through
// the buffers), or -1 when data's position cannot be set after them.
long CopyInKernel(FILE *out, FILE *data, long count) {
    long copied = 0;
#if defined(__linux__)
    off_t data_position = ftello(data);
    if (data_position < 0) return 0;
    while (copied < count) {
        const ssize_t n = copy_file_range(fileno(data), &data_position, fileno(out), nullptr,
                                          static_cast<size_t>(count - copied), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        copied += static_cast<long>(n);
    }
    // The data stream read ahead into its own buffer: place it where the
    // kernel stopped.
    if (fseeko(data, data_position, SEEK_SET) != 0) return -1;
#else
    (void)out;
    (void)data;
    (void)count;
#endif
    return copied;
}

// Appends one record: block, size, the first size bytes of data, terminator.
int32_t WriteRecord(OutputFile &map, FILE *data, int32_t block, int32_t size) {
    FILE *out = map.get();
    const MapRecordHeader header = EncodeRecordHeader(block, size);
    if (fwrite(BlockBytes(header), 1, kBlockBytes, out) != kBlockBytes) {
        printf("* ERROR * writing starting_block in zebmap file\n");
        map.MarkFailureReported();
        return kBuildBlockNotWritten;
    }
    if (fwrite(SizeBytes(header), 1, kSizeBytes, out) != kSizeBytes) {
        printf("* ERROR * writing data_size in zebmap file\n");
        map.MarkFailureReported();
        return kBuildSizeNotWritten;
    }

    long wc = 0;
    long head = size;
    long middle = 0;
    SplitForKernelCopy(out, data, size, &head, &middle);
    if (CopyBuffered(map, data, head, &wc) != kRecordWritten) return kBuildDataNotWritten;
    if (middle > 0) {
        // The buffer is full now; the next buffered write would flush it first.
        if (fflush(out) != 0) {
            printf("* ERROR * writing raw data in zebmap_file\n");
            map.MarkFailureReported();
            return kBuildDataNotWritten;
        }
        const long moved = CopyInKernel(out, data, middle);
        if (moved < 0) {
            printf("* Unattended EOF after %ld bytes\n", wc);
            return kBuildDataNotWritten;
        }
        wc += moved;
    }
    // The rest, and all of it after a kernel copy that stopped early: a
    // failing disk or a data file that ended shows here as it always did.
    if (CopyBuffered(map, data, size - wc, &wc) != kRecordWritten) return kBuildDataNotWritten;
    fputc(TERMINATOR, out);  // a failure here shows when the map is closed
    printf(" %ld bytes written\n", wc);
    return kRecordWritten;
}

// One candidate entry: header, snippet block, data file, record. What the
// firmware or the device will not want is warned of, as declared (the
// resource names the snippet declares so far) lets it be.
int32_t BuildEntry(const char *name, int32_t block, OutputFile &map, OutputFile &snippet,
                   std::map<std::string, std::string> &declared) {
    const size_t name_length = strlen(name);
    if (strlen(RESOURCES_DIRECTORY) + strlen(PATH_SEPARATOR) + name_length > static_cast<size_t>(PATH_MAX_SIZE)) {
        // The path would not fit: reported like a header that cannot be opened.
        const std::string path = std::string(RESOURCES_DIRECTORY) + PATH_SEPARATOR + name;
        printf("Opening file '%s' ...\n", path.c_str());
        printf("* ERROR * failed opening header file '%s'\n", path.c_str());
        PrintWarning(SkippedResourceWarning(path, block, false));
        return kEntrySkipped;
    }
    char file_path[PATH_MAX_SIZE + 1];
    snprintf(file_path, sizeof file_path, "%s%s%s", RESOURCES_DIRECTORY, PATH_SEPARATOR, name);
    const std::string header_path = file_path;

    printf("Opening file '%s' ...\n", file_path);
    ResourceHeader header;
    const int32_t read = ReadResourceHeader(file_path, &header);
    if (read != kResourceHeaderRead) {
        if (read == kResourceHeaderNotOpened) {
            printf("* ERROR * failed opening header file '%s'\n", file_path);
        } else {
            printf("* ERROR * malformed header file '%s'\n", file_path);
        }
        PrintWarning(SkippedResourceWarning(header_path, block, false));
        return kEntrySkipped;
    }
    const resource_image_t &resource = header.image;
    printf("width=%d, height=%d, stride=%d, size=%ld\n", resource.width, resource.height, resource.stride,
           static_cast<long>(resource.size));

    const std::string resource_name = ResourceBaseName(name) + "_header";
    for (const std::string &warning : ResourceWarnings(header_path, resource_name, header, &declared))
        PrintWarning(warning);
    AppendSnippetBlock(snippet.get(), resource_name.c_str(), resource, block);

    // The data file is the header's name less its final "h".
    file_path[strlen(file_path) - 1] = '\0';
    printf("Opening file '%s' ...\n", file_path);
    const FilePtr data = OpenRegularFile(file_path, "rb");
    if (!data) {
        printf("* ERROR * failed opening binary file '%s'\n", file_path);
        PrintWarning(SkippedResourceWarning(header_path, block, true));
        return kEntrySkipped;
    }
    return WriteRecord(map, data.get(), block, resource.size);
}

// ---------------------------------------------------------------------------
// The map checker

// Moves past up to count bytes of data; returns how many were there before
// the end of the file.
long SkipData(FILE *map, long count) {
    struct stat st {};
    const off_t position = ftello(map);
    if (position >= 0 && fstat(fileno(map), &st) == 0) {
        const long skip = static_cast<long>(std::min<off_t>(count, std::max<off_t>(0, st.st_size - position)));
        if (fseeko(map, skip, SEEK_CUR) == 0) return skip;
    }
    // Cannot seek: read through it.
    unsigned char buffer[kCopyBlockSize];
    long skipped = 0;
    while (skipped < count) {
        const size_t wanted = std::min(kCopyBlockSize, static_cast<size_t>(count - skipped));
        const size_t got = fread(buffer, 1, wanted, map);
        skipped += static_cast<long>(got);
        if (got < wanted) break;
    }
    return skipped;
}

// Results of CheckRecord besides the checker's own.
constexpr int32_t kRecordChecked = 1;    // framed correctly; another may follow
constexpr int32_t kCheckedToTheEnd = 2;  // the map ended where it may

// Reads one record of the map and reports it on report.
int32_t CheckRecord(FILE *map, std::ostream &report) {
    MapRecordHeader header;
    const int read = ReadMapRecordHeader(map, &header);
    if (read == kMapEnded) return kCheckedToTheEnd;  // the normal end of the map
    if (read == kHeaderCut) {
        report << "ERR: Unattended end of file inside a record header\n";
        return kCheckFramingError;
    }
    const auto size = static_cast<long>(header.size);
    report << "Reading from block " << header.block << "  -> size " << size << "\n";
    if (size < 0) {
        report << "* ERROR: invalid size " << size << " on block " << header.block << "\n";
        return kCheckFramingError;
    }

    const long rc = SkipData(map, size);
    if (rc < size) {
        report << "ERR: Unattended end of file after read " << rc << " bytes [of " << size << "]\n";
        return kCheckFramingError;
    }
    const int terminator = getc(map);
    if (terminator == EOF) return kCheckedToTheEnd;  // data complete, only the terminator missing
    if (!IsTerminator(terminator)) {
        report << "* ERROR: no terminator found on pos " << rc << ": expected [" << TERMINATOR << "] but found ["
               << terminator << "] \n";
        return kCheckFramingError;
    }
    report << "OK...\n";
    return kRecordChecked;
}

// The working directory's full path as text; "" when it cannot be had. A
// Windows path is wide: its UTF-8, whose conversion may refuse a malformed one.
std::string WorkingDirectoryText() {
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    if (error) return std::string();
    try {
        return here.u8string();
    } catch (const std::exception &) {
        return std::string();
    }
}

// The resources folder did not open (error: errno): the report's line as
// tooling knows it, and for the person the folder it was run in, which is
// most often the wrong one.
void ReportMissingResources(int error) {
    printf("* ERROR * Couldn't open the directory %s\n", RESOURCES_DIRECTORY);
    PrintHint(MissingResourcesText(WorkingDirectoryText(), error));
}

}  // namespace

bool ListingNameBefore(const char *a, const char *b) {
    // "." before "..", both before every other name.
    const bool a_dot = IsDotEntry(a);
    const bool b_dot = IsDotEntry(b);
    if (a_dot || b_dot) return a_dot && (!b_dot || strlen(a) < strlen(b));
    const auto *x = reinterpret_cast<const unsigned char *>(a);
    const auto *y = reinterpret_cast<const unsigned char *>(b);
    size_t i = 0;
    for (; x[i] != 0 && y[i] != 0; ++i) {
        if (FoldedByte(x[i]) != FoldedByte(y[i])) return FoldedByte(x[i]) < FoldedByte(y[i]);
    }
    if (x[i] != y[i]) return x[i] == 0;  // a prefix comes first
    return strcmp(a, b) < 0;             // equal when folded: by their own bytes
}

int32_t BuildResourceZebmapFile(BuildStats *stats) {
    BuildStats counted;
    char zebmap_path[PATH_MAX_SIZE + 1];
    char zebc_path[PATH_MAX_SIZE + 1];
    snprintf(zebmap_path, sizeof zebmap_path, "%s", ZEBMAP_FILE);
    snprintf(zebc_path, sizeof zebc_path, "%s", ZEBC_FILE);

    // The directory first: without it, an earlier map and snippet stay as they are.
    DirPtr listing(opendir(RESOURCES_DIRECTORY));
    if (!listing) {
        ReportMissingResources(errno);
        if (stats != nullptr) *stats = counted;
        return kBuildNoResources;
    }
    counted.listing_read = true;
    const std::vector<ListedEntry> entries = ReadListingInNameOrder(listing.get());
    listing.reset();
    if (stats != nullptr) *stats = counted;
    // An output that cannot be created is named: the build stops with
    // nothing to show for it otherwise.
    OutputFile map;
    if (!map.Create(zebmap_path, "wb+")) {
        printf("* ERROR * Couldn't create the file %s\n", zebmap_path);
        return kBuildCannotCreate;
    }
    OutputFile snippet;
    if (!snippet.Create(zebc_path, "w+")) {
        printf("* ERROR * Couldn't create the file %s\n", zebc_path);
        return kBuildCannotCreate;
    }

    fputc(TERMINATOR, map.get());
    int32_t block = FLASH_INITIAL_BLOCK;
    int32_t status = 0;
    std::map<std::string, std::string> declared;
    for (const ListedEntry &entry : entries) {
        printf("File: '%s' [reclen=%d]\n", entry.name.c_str(), entry.reclen);
        if (!IsCandidateName(entry.name.c_str())) continue;
        const int32_t outcome = BuildEntry(entry.name.c_str(), block, map, snippet, declared);
        if (outcome == kRecordWritten) {
            ++counted.packed;
        } else if (outcome == kEntrySkipped) {
            ++counted.skipped;
        } else {
            status = outcome;
            break;
        }
        ++block;  // every candidate takes its block number, whatever became of it
    }
    if (stats != nullptr) *stats = counted;

    const bool map_complete = map.Close();
    const bool snippet_complete = snippet.Close();
    if (status != 0) return status;
    if (!map_complete || !snippet_complete) return kBuildIncomplete;
    return counted.skipped > 0 ? kBuildSomeSkipped : kBuildComplete;
}

int32_t ReadResourceZebmapFile() { return CheckResourceMapFile(ZEBMAP_FILE, std::cout); }

int32_t CheckResourceMapFile(const char *map_path, std::ostream &report) {
    const FilePtr fpo = OpenRegularFile(map_path, "rb");
    if (!fpo) return kCheckCannotOpen;
    FILE *map = fpo.get();

    const MapFirstLine first_line = ReadMapFirstLine(map);
    if (!first_line.ended) {
        report << "ERR: Unattended end of file in the first line\n";
        return kCheckFramingError;
    }
    report << "first line='" << first_line.text << "'\n";

    int32_t status = kRecordChecked;
    while (status == kRecordChecked) status = CheckRecord(map, report);
    return status == kCheckedToTheEnd ? kCheckFramed : status;
}

int32_t ReadResourceHeader(const char *path, ResourceHeader *header) {
    const FilePtr file = OpenRegularFile(path, "r");
    if (!file) return kResourceHeaderNotOpened;
    char input_line[MAX_LINE_SIZE];
    ReadFirstLine(file.get(), input_line);
    *header = ResourceHeader{};
    return ParseHeaderLine(input_line, *header) ? kResourceHeaderRead : kResourceHeaderMalformed;
}

std::string FormatResourceHeaderLine(int32_t width, int32_t height) {
    const int64_t stride = int64_t{kArgb4BytesPerPixel} * width;
    return "/*('file properties: ', 'resolution ', " + std::to_string(width) + ", 'x', " + std::to_string(height) +
           ", 'format ', '" + kArgb4FormatName + "', 'stride ', " + std::to_string(stride) + ", ' total size ', " +
           std::to_string(stride * height) + ")*/\n";
}

bool ListResourceHeaders(const char *folder, std::vector<std::string> *names) {
    DirPtr listing(opendir(folder));
    if (!listing) return false;
    names->clear();
    for (const ListedEntry &entry : ReadListingInNameOrder(listing.get())) {
        if (IsCandidateName(entry.name.c_str())) names->push_back(entry.name);
    }
    return true;
}

std::string ResourceBaseName(const std::string &header_name) {
    return header_name.substr(0, header_name.size() > 5 ? header_name.size() - 5 : 0);
}

bool IsCIdentifier(const std::string &text) {
    if (text.empty() || isdigit(static_cast<unsigned char>(text[0]))) return false;
    for (const char c : text) {
        const bool ascii_letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!ascii_letter && !(c >= '0' && c <= '9') && c != '_') return false;
    }
    return true;
}

namespace {

// Calls visit with the header of every record, from the map's start, the
// way the upload reads them: a record whose size is negative, or that runs
// past the end of the file, is the last one. The map's position is put back
// afterwards.
template <typename Visit>
void ForEachMapRecord(FILE *map, Visit visit) {
    const off_t start = ftello(map);
    if (ReadMapFirstLine(map).ended) {
        MapRecordHeader header;
        for (int read = ReadMapRecordHeader(map, &header); read != kMapEnded; read = ReadMapRecordHeader(map, &header)) {
            visit(header);
            if (read == kHeaderCut) break;
            if (header.size < 0) break;  // the record takes the rest of the file
            if (fseeko(map, static_cast<off_t>(header.size) + 1, SEEK_CUR) != 0) break;
        }
    }
    clearerr(map);
    if (start >= 0) fseeko(map, start, SEEK_SET);
}

}  // namespace

uint32_t CountMapRecords(const char *map_path) {
    const FilePtr map = OpenRegularFile(map_path, "rb");
    return map ? CountMapRecordsIn(map.get()) : 0;
}

uint32_t CountMapRecordsIn(FILE *map) {
    uint32_t records = 0;
    ForEachMapRecord(map, [&records](const MapRecordHeader &) { ++records; });
    return records;
}

std::vector<BlockRun> MissingMapBlocks(const char *map_path) {
    std::vector<BlockRun> missing;
    const FilePtr map = OpenRegularFile(map_path, "rb");
    if (!map) return missing;
    std::vector<bool> present(kBlockNumbers, false);
    int highest = 0;
    ForEachMapRecord(map.get(), [&](const MapRecordHeader &header) {
        present[static_cast<size_t>(header.block)] = true;
        highest = std::max(highest, header.block);
    });
    for (int block = FLASH_INITIAL_BLOCK; block <= highest; ++block) {
        if (present[static_cast<size_t>(block)]) continue;
        if (!missing.empty() && missing.back().last == block - 1) {
            missing.back().last = block;
        } else {
            missing.push_back({block, block});
        }
    }
    return missing;
}

std::string FormatBlockRuns(const std::vector<BlockRun> &runs) {
    constexpr size_t kRunsShown = 8;
    int64_t blocks = 0;
    for (const BlockRun &run : runs) blocks += run.last - run.first + 1;
    std::string text = blocks == 1 ? "block " : "blocks ";
    for (size_t i = 0; i < runs.size() && i < kRunsShown; ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(runs[i].first);
        if (runs[i].last != runs[i].first) text += "-" + std::to_string(runs[i].last);
    }
    if (runs.size() > kRunsShown) text += " and " + std::to_string(runs.size() - kRunsShown) + " more runs";
    return text;
}
