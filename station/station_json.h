// How the station writes JSON, in one place: the record line, the web API
// and its events all go through JsonText.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Objects keep the order their fields were set in: line tooling reads the
// record's fields in a fixed order.
using Json = nlohmann::ordered_json;

// The compact text of value, UTF-8 as UTF-8 (only quotes, backslashes and
// control characters escaped). A name that is not valid UTF-8 (a port name
// from the command line can hold any bytes) has each bad byte replaced by
// U+FFFD: the station never stops on a name, and every line stays JSON.
inline std::string JsonText(const Json &value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}
