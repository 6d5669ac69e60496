// The resource map file: its builder (resources/ -> zebmap.map + zebmap.c)
// and its checker, which reads the map back and reports every record.
#pragma once

#include <cstdint>
#include <cstdio>

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
int32_t ReadResourceZebmapFile();

// The number of records in a resource map file, by walking the record
// headers the way the upload reads them: a record whose size is negative,
// or that runs past the end of the file, is the last one. 0 when the file
// cannot be opened.
uint32_t CountMapRecords(const char *map_path);
// The same count on a map already open, read from its current position,
// which is put back afterwards.
uint32_t CountMapRecordsIn(FILE *map);
