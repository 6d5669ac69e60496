// The station's settings, from its command line and its config file
// (--config FILE, station_config.h), the command line over the file. Each
// setting is one row of StationOptionRows(): its option name, its config
// key, the field it sets (whose type is the setting's and whose initial
// value is its default), its help and its check. CLI11's options and the
// config reader are both made from the rows, so a new setting is a field
// and a row.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "globals.h"

struct Fixture {
    std::string name;  // heads its tile, is the record's "fixture" and the API's name, names its folder
    std::string port;  // the name the link opens
};

struct StationOptions {
    bool once = false;
    bool allow_gaps = false;  // flash a map that lacks blocks
    std::string log = "station.jsonl";
    std::string dir = "station";
    double wait_s = 10;
    std::string http;  // [ADDR:]PORT of the web page and API, "" for none
    std::string name;  // the station's name, "" for the host name
    std::string on_record;      // the hook's command, "" for none
    double hook_timeout_s = 60;
    std::string map = "./" ZEBMAP_FILE;
    std::string map_sha256;  // the only map to flash, lower-case hex; "" for any
    double keep_days = 30;  // device outputs and earlier runs' folders older than this go at the start
    // The records' MQTT broker ("" for none) and how to reach it.
    std::string mqtt;
    std::string mqtt_ca_file;
    std::string mqtt_username;
    std::string mqtt_password_file;
    std::string mqtt_topic;  // "" for pardulo/<the station's name, made topic-safe>
    double retries = 0;      // a board refused or unanswered is flashed again this often at most (a whole number)
    bool verify = false;     // every record read back before the exit command
    std::string api_token_file;   // the token the API's writes need; "" for none (nothing can be changed)
    bool require_serial = false;  // a board waits for its serial number before it is flashed
    bool allow_repeated_serial = false;
    std::vector<Fixture> fixtures;
};

// A setting's value as a source gives it; its alternatives are in the
// order of OptionField's, so a value fits a row when the indexes agree.
using OptionValue = std::variant<bool, double, std::string>;
using OptionField = std::variant<bool StationOptions::*, double StationOptions::*, std::string StationOptions::*>;

struct OptionRow {
    const char *name;        // the long option without "--": "hook-timeout"
    const char *key;         // its config key; nullptr: the name with "_" for "-" (hook_timeout)
    OptionField field;       // bool: a flag; double: a number; std::string: a text
    const char *value_name;  // "SECONDS" in the usage; nullptr for a flag
    const char *help;
    // "" or what is wrong with a value (of the row's type); nullptr: any value.
    std::string (*check)(const OptionValue &value);
    // Shown in the records and on the page: on Windows read from the UTF-16
    // command line. Paths and commands stay in the code page the system
    // opens and runs them with.
    bool utf8_text;
};

const std::vector<OptionRow> &StationOptionRows();

// The row's config key.
std::string OptionKey(const OptionRow &row);

// "" when value is of the row's type and passes its check, else what is wrong.
std::string CheckOptionValue(const OptionRow &row, const OptionValue &value);
// A command-line value as the row's type ("" or what is wrong), checked.
std::string OptionValueOfText(const OptionRow &row, const std::string &text, OptionValue *value);
// Sets the row's field of options to value (checked, of the row's type).
void SetOption(const OptionRow &row, const OptionValue &value, StationOptions *options);

// "" or why name cannot name a fixture: empty, "/" or "\" (the name
// would be a path), control characters (a board line, a record's reader).
std::string FixtureNameProblem(const std::string &name);
// "" or why fixture cannot join those before it in fixtures: the same name
// (the board, the API and the records could not tell them apart) or the
// same port (two workers would fight over it).
std::string FixtureClash(const std::vector<Fixture> &before, const Fixture &fixture);

// The usage, made from the rows (the text of --help).
std::string StationUsage();

// Reads the command line (args: argv's strings, as the system opens and
// runs them; texts: the same arguments as UTF-8 text, see argument_text.h)
// and the config file it names into options. "" or the message of what is
// wrong (the command line's with "see --help").
std::string ReadStationOptions(const std::vector<std::string> &args, const std::vector<std::string> &texts,
                               StationOptions *options);
