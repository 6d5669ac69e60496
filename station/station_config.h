// The station's config file (--config FILE): TOML, one key per setting of
// station_options.h (its option's name with "_" for "-") and one
// [[fixture]] table (name, port) per fixture. Read as a whole before any
// port is opened; a key it does not know is an error, not a setting lost.
#pragma once

#include <string>

#include "station_options.h"

// Sets what the file at path gives into options. "" or what is wrong,
// "PATH:LINE:COLUMN: ...", or "cannot read PATH".
std::string ReadStationConfig(const std::string &path, StationOptions *options);
