#include "resource_warnings.h"

#include <cstring>

#include "argb4.h"
#include "console.h"
#include "globals.h"
#include "printable_text.h"

std::vector<std::string> ResourceWarnings(const std::string &header_path, const std::string &resource_name,
                                          const ResourceHeader &header,
                                          std::map<std::string, std::string> *declared) {
    std::vector<std::string> warnings;
    const std::string at = header_path + ": ";
    if (!IsCIdentifier(resource_name)) {
        warnings.push_back(at + "\"" + resource_name + "\" is not a C identifier; " ZEBC_FILE " will not compile");
    } else if (const auto [earlier, fresh] = declared->emplace(resource_name, header_path); !fresh) {
        warnings.push_back(at + "\"" + resource_name + "\" is declared by " + earlier->second + " already; " ZEBC_FILE
                           " will not compile");
    }
    if (header.format != kArgb4FormatName) {
        warnings.push_back(at + "format '" + header.format + "', but " ZEBC_FILE " declares " + kArgb4FormatName +
                           " and the device reads the data as " + kArgb4FormatName);
    }
    const resource_image_t &image = header.image;
    const int64_t least_stride = int64_t{kArgb4BytesPerPixel} * image.width;
    const int64_t expected_size = int64_t{image.stride} * image.height;
    if (image.width < 0 || image.height < 0) {
        warnings.push_back(at + "a picture of " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                           " pixels");
    } else if (image.stride < least_stride) {
        warnings.push_back(at + "stride " + std::to_string(image.stride) + " is below 2 x width (" +
                           std::to_string(least_stride) + ")");
    }
    if (image.size != expected_size) {
        warnings.push_back(at + "size " + std::to_string(image.size) + " is not stride x height (" +
                           std::to_string(image.stride) + " x " + std::to_string(image.height) + " = " +
                           std::to_string(expected_size) + ")");
    }
    return warnings;
}

std::string SkippedResourceWarning(const std::string &header_path, int32_t block, bool declared) {
    std::string text = header_path + " skipped: " ZEBMAP_FILE " has no record for block " + std::to_string(block);
    if (declared) text += ", which " ZEBC_FILE " declares all the same";
    return text + "; the device will have no picture there";
}

std::string MapGapText(const std::string &map_name, const std::vector<BlockRun> &missing) {
    return map_name + " has no record for " + FormatBlockRuns(missing) + ": it was built with a resource skipped";
}

std::string MissingResourcesText(const std::string &working_directory, int error) {
    const std::string where = working_directory.empty() ? "the working directory" : working_directory;
    return RESOURCES_DIRECTORY "/ could not be opened in " + where + " (" + strerror(error) +
           "): pardulo d looks in the working directory for a folder " RESOURCES_DIRECTORY
           "/ with two files per resource, NAME.rawh (a header line: width, height, stride, size) and NAME.raw "
           "(the pixel data); run it in the folder that holds " RESOURCES_DIRECTORY "/";
}

void PrintHint(const std::string &text) {
    const std::string line = "hint: " + PrintableText(text.c_str()) + "\n";
    WriteToStderr(line.data(), line.size());
}

void PrintWarning(const std::string &text) {
    // Names come from the file system: a control character in one must not
    // break the line.
    const std::string line = "warning: " + PrintableText(text.c_str()) + "\n";
    WriteToStderr(line.data(), line.size());
}
