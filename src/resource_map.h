// The resource map file: its builder (resources/ -> zebmap.map + zebmap.c)
// and its checker, which reads the map back and reports every record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <string>
#include <vector>

struct resource_image_t {
    int32_t width;
    int32_t height;
    int32_t type;  // carried for the firmware's layout; the snippet always says ARGB4
    int32_t stride;
    int32_t size;
};

// What a build did, for the summary a person at a terminal sees; the build's
// own report and result do not depend on it.
struct BuildStats {
    bool listing_read = false;  // resources/ was opened and listed
    int32_t packed = 0;         // candidates that gave a complete record
    int32_t skipped = 0;        // candidates skipped with an error
};

// What the first line of a header file gives.
struct ResourceHeader {
    resource_image_t image{};
    std::string format;  // field 6 without its blanks and quotes: "ARGB4" as the converter writes it
};

// Results of ReadResourceHeader.
constexpr int32_t kResourceHeaderRead = 0;
constexpr int32_t kResourceHeaderNotOpened = 1;  // missing, unreadable or no regular file
constexpr int32_t kResourceHeaderMalformed = 2;  // no number at field 2, 4, 8 or 10, or a negative size
// Reads the first line of the header file at path, as the builder does.
int32_t ReadResourceHeader(const char *path, ResourceHeader *header);

// The first line of the header file of an ARGB4 picture, with its line end,
// in the shape the builder reads: stride 2 x width, size stride x height.
std::string FormatResourceHeaderLine(int32_t width, int32_t height);

// The candidate header files of folder (names ending in "rawh", longer than
// five characters) in the order the builder numbers them: the i-th from 0
// gets block FLASH_INITIAL_BLOCK + i. False when the folder cannot be listed.
bool ListResourceHeaders(const char *folder, std::vector<std::string> *names);

// A header file's name less its last five characters ("logo" of
// "logo.rawh"); the snippet declares it with "_header" after it.
std::string ResourceBaseName(const std::string &header_name);

// Letters, digits and "_", not starting with a digit: a name C takes.
bool IsCIdentifier(const std::string &text);

// Results of BuildResourceZebmapFile.
constexpr int32_t kBuildComplete = 0;         // every candidate gave a complete record
constexpr int32_t kBuildNoResources = 1;      // no resources directory; earlier outputs left as they were
constexpr int32_t kBuildSomeSkipped = 2;      // the listing was exhausted, at least one candidate skipped with an error
constexpr int32_t kBuildCannotCreate = -2;    // an output could not be created
constexpr int32_t kBuildBlockNotWritten = -4; // a record's starting block could not be written
constexpr int32_t kBuildSizeNotWritten = -5;  // a record's data size could not be written
constexpr int32_t kBuildDataNotWritten = -6;  // a record's data could not be copied (write failed, data ended early)
constexpr int32_t kBuildIncomplete = -7;      // an output could not be written completely

// The listing is taken in name order (ListingNameBefore), so the same
// resources give the same blocks whatever the file system lists first.
int32_t BuildResourceZebmapFile(BuildStats *stats = nullptr);

// The order of a directory listing: "." and ".." first, then the names byte
// by byte with the ASCII letters folded to upper case; names equal when
// folded are ordered by their own bytes. True when a comes before b.
bool ListingNameBefore(const char *a, const char *b);

// Results of ReadResourceZebmapFile.
constexpr int32_t kCheckFramed = 0;         // the map is framed correctly
constexpr int32_t kCheckCannotOpen = -2;    // the map cannot be opened
constexpr int32_t kCheckFramingError = -3;  // a framing error was reported
// Checks ./zebmap.map, the report on standard output.
int32_t ReadResourceZebmapFile();
// Checks the map at map_path, its report (the first line, then a line or
// two per record, the framing error last) on report; nothing about a map
// that cannot be opened.
int32_t CheckResourceMapFile(const char *map_path, std::ostream &report);

// The number of records in a resource map file, by walking the record
// headers the way the upload reads them: a record whose size is negative,
// or that runs past the end of the file, is the last one. 0 when the file
// cannot be opened.
uint32_t CountMapRecords(const char *map_path);
// The same count on a map already open, read from its current position,
// which is put back afterwards.
uint32_t CountMapRecordsIn(FILE *map);

// Blocks first to last, both included.
struct BlockRun {
    int32_t first;
    int32_t last;
};

// The blocks a map has no record for, from FLASH_INITIAL_BLOCK up to its
// highest block. The builder gives the n-th header file block n also when it
// skips the resource, so a map built whole has the blocks 1, 2, ... without a
// gap, and a gap is a picture the device will not have. Read from the map's
// start, walking its records as CountMapRecords does; none when it cannot be
// opened.
std::vector<BlockRun> MissingMapBlocks(const char *map_path);

// "block 3", "blocks 3, 7-9": the runs for a message, the first few of many.
std::string FormatBlockRuns(const std::vector<BlockRun> &runs);
