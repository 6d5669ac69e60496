#include "station_options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "station_config.h"

namespace {

// A year: a time-out or a wait beyond it is a typing error.
constexpr double kMaxSeconds = 86400.0 * 365;

std::string CheckSeconds(const OptionValue &value) {
    const double *seconds = std::get_if<double>(&value);
    if (seconds != nullptr && *seconds >= 0 && *seconds <= kMaxSeconds) return "";
    return "must be from 0 to 31536000 seconds";
}

std::string CheckPositiveSeconds(const OptionValue &value) {
    const double *seconds = std::get_if<double>(&value);
    if (seconds != nullptr && *seconds > 0 && *seconds <= kMaxSeconds) return "";
    return "must be more than 0 and at most 31536000 seconds";
}

std::string CheckDays(const OptionValue &value) {
    const double *days = std::get_if<double>(&value);
    if (days != nullptr && *days >= 0 && *days <= 36500) return "";
    return "must be from 0 to 36500 days";
}

std::string CheckRetries(const OptionValue &value) {
    const double *retries = std::get_if<double>(&value);
    if (retries != nullptr && *retries >= 0 && *retries <= 100 && *retries == static_cast<int>(*retries)) return "";
    return "must be a whole number from 0 to 100";
}

std::string CheckNotEmpty(const OptionValue &value) {
    const std::string *text = std::get_if<std::string>(&value);
    return text != nullptr && !text->empty() ? "" : "must not be empty";
}

std::string CheckSha256(const OptionValue &value) {
    const std::string *text = std::get_if<std::string>(&value);
    const bool hex = text != nullptr && text->size() == 64 &&
                     text->find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    return hex ? "" : "must be a SHA-256 of 64 hex digits";
}

const char kFooter[] =
    "A fixture's NAME (no / or \\) heads its tile and names its folder and records.\n"
    "--http [ADDR:]PORT: ADDR 127.0.0.1 unless given (0.0.0.0: every network).\n"
    "--on-record: /bin/sh -c COMMAND (cmd /c on Windows), the record line on its\n"
    "input, PARDULO_RESULT, PARDULO_PORT and PARDULO_DEVICE set; one at a time, in\n"
    "record order, beside the flashing; a failure goes to standard error and\n"
    "DIR/hooks.log.\n"
    "--config FILE: TOML, a key per option (hook_timeout for --hook-timeout,\n"
    "map_sha256 for --expect-sha256), a [[fixture]] (name, port) per fixture.\n"
    "Standard output: one line per finished device, \"PORT DEVICE RESULT SECONDS REASON\".\n"
    "SIGINT or SIGTERM (Windows: Ctrl-C, Ctrl-Break, closing the console window):\n"
    "uploads under way stop at once (exit command sent), exit 0.\n"
    "Exit status: --once: 0 only when every fixture's device got the whole map, else 1;\n"
    "otherwise 0 after SIGINT or SIGTERM, 1 when records could not be written;\n"
    "2 for a bad command line, config file or map.";

// The value a row's field has before anything sets it, for the usage.
std::string DefaultText(const OptionRow &row) {
    const StationOptions defaults;
    if (const auto *number = std::get_if<double StationOptions::*>(&row.field)) {
        char text[32];
        snprintf(text, sizeof text, "%g", defaults.**number);
        return text;
    }
    if (const auto *text = std::get_if<std::string StationOptions::*>(&row.field)) return defaults.**text;
    return "";
}

// The command line as CLI11 reads it, made from the rows: flags straight
// into their field, every other value as its text (converted and checked
// by the row, as the config file's are).
struct CommandLine {
    CLI::App app{"Flashes the map (checked first, then kept as it was) into every device that\n"
                 "arrives on any FIXTURE, all in parallel, one device after the other on each.",
                 "pardulo-station"};
    StationOptions flags;
    std::vector<std::string> texts;
    std::vector<CLI::Option *> options;  // by row
    std::vector<std::string> fixtures;
    std::string config;

    CommandLine() {
        // Options are "-" and "--" on Windows too: "/" starts a path, also
        // there, and a value such as --dir /line3 must stay one.
        app.allow_windows_style_options(false);
        app.set_help_flag("-h,--help", "print this usage and exit");
        app.add_flag("-V,--version", "print the version and exit");
        app.footer(kFooter);
        const std::vector<OptionRow> &rows = StationOptionRows();
        texts.resize(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) options.push_back(Define(rows[i], &texts[i]));
        app.add_option("--config", config, "settings from a TOML file, under the command line's")
            ->type_name("FILE");
        app.add_option("FIXTURE", fixtures, "NAME=PORT, or a PORT named by itself")->type_name("[NAME=]PORT");
    }

    CLI::Option *Define(const OptionRow &row, std::string *text) {
        const std::string name = std::string("--") + row.name;
        if (const auto *flag = std::get_if<bool StationOptions::*>(&row.field)) {
            return app.add_flag(name, flags.**flag, row.help);
        }
        CLI::Option *option = app.add_option(name, *text, row.help)->type_name(row.value_name);
        option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // the last one given counts
        option->default_str(DefaultText(row));
        option->check(CLI::Validator(
            [&row](std::string &given) {
                OptionValue value;
                return OptionValueOfText(row, given, &value);
            },
            ""));
        return option;
    }
};

// What one command line gives: the values of the rows it sets, its
// fixture arguments and its config file.
struct GivenLine {
    StationOptions values;
    std::vector<bool> given;  // by row
    std::vector<std::string> fixtures;
    std::string config;
};

// "" or the library's message.
std::string ParseLine(const std::vector<std::string> &args, GivenLine *line) {
    const auto cli = std::make_unique<CommandLine>();
    std::vector<const char *> argv;
    for (const std::string &arg : args) argv.push_back(arg.c_str());
    try {
        cli->app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError &error) {
        return error.what();
    }
    const std::vector<OptionRow> &rows = StationOptionRows();
    line->given.assign(rows.size(), false);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (cli->options[i]->count() == 0) continue;
        line->given[i] = true;
        OptionValue value;
        if (const auto *flag = std::get_if<bool StationOptions::*>(&rows[i].field)) {
            value = cli->flags.**flag;
        } else if (const std::string why = OptionValueOfText(rows[i], cli->texts[i], &value); !why.empty()) {
            return "--" + std::string(rows[i].name) + ": " + why;
        }
        SetOption(rows[i], value, &line->values);
    }
    line->fixtures = cli->fixtures;
    line->config = cli->config;
    return "";
}

// A fixture argument, NAME=PORT or PORT: the name from its text, the port
// from the argument as the system opens it. "" or what is wrong.
std::string FixtureOfArgument(const std::string &text, const std::string &arg, Fixture *fixture) {
    const std::size_t equals = text.find('=');
    // A "/" or "\" before the "=" makes it a path that holds one.
    if (equals == std::string::npos || text.find_first_of("/\\") < equals) {
        if (arg.empty()) return "an empty port";
        *fixture = {text, arg};
        return "";
    }
    fixture->name = text.substr(0, equals);
    // "=" is no part of any character of a code page either: the first one
    // of arg is text's.
    fixture->port = arg.substr(arg.find('=') + 1);
    if (const std::string why = FixtureNameProblem(fixture->name); !why.empty()) return text + ": " + why;
    if (fixture->port.empty()) return text + ": no port after the \"=\"";
    return "";
}

std::string FixturesOfArguments(const GivenLine &line, const GivenLine &text_line, std::vector<Fixture> *fixtures) {
    fixtures->clear();
    for (std::size_t i = 0; i < line.fixtures.size() && i < text_line.fixtures.size(); ++i) {
        Fixture fixture;
        if (std::string why = FixtureOfArgument(text_line.fixtures[i], line.fixtures[i], &fixture); !why.empty()) {
            return why;
        }
        if (std::string why = FixtureClash(*fixtures, fixture); !why.empty()) return why;
        fixtures->push_back(fixture);
    }
    return "";
}

}  // namespace

const std::vector<OptionRow> &StationOptionRows() {
    using O = StationOptions;
    static const std::vector<OptionRow> rows = {
        {"once", nullptr, &O::once, nullptr, "flash each fixture's first device, then end", nullptr, false},
        {"wait", nullptr, &O::wait_s, "SECONDS", "with --once: how long a fixture awaits its device", CheckSeconds,
         false},
        {"log", nullptr, &O::log, "FILE", "the record of every device, one JSON line each", CheckNotEmpty, false},
        {"dir", nullptr, &O::dir, "DIR",
         "DIR/<fixture>/: its zebmap.log, each device's output", CheckNotEmpty, false},
        {"map", nullptr, &O::map, "FILE", "the map to flash, checked first", CheckNotEmpty, false},
        {"expect-sha256", "map_sha256", &O::map_sha256, "HEX",
         "refuse the map unless its SHA-256 is HEX", CheckSha256, false},
        {"allow-gaps", nullptr, &O::allow_gaps, nullptr,
         "flash a map with a gap in its blocks all the same", nullptr, false},
        {"on-record", nullptr, &O::on_record, "COMMAND",
         "run COMMAND after each record is on disk (see below)", CheckNotEmpty, false},
        {"hook-timeout", nullptr, &O::hook_timeout_s, "SECONDS", "kill a hook still running after this long",
         CheckPositiveSeconds, false},
        {"http", nullptr, &O::http, "[ADDR:]PORT",
         "serve the board as a web page and JSON API", CheckNotEmpty, false},
        {"name", nullptr, &O::name, "TEXT", "the station's name (default: the host name)", CheckNotEmpty, true},
        {"keep-days", nullptr, &O::keep_days, "DAYS",
         "remove device outputs and earlier runs' folders older than this at the start", CheckDays, false},
        {"mqtt", nullptr, &O::mqtt, "URL", "publish every record to the MQTT broker at mqtt[s]://HOST[:PORT]",
         CheckNotEmpty, false},
        {"mqtt-ca-file", nullptr, &O::mqtt_ca_file, "FILE", "with mqtts://: the broker's CA certificates (PEM)",
         CheckNotEmpty, false},
        {"mqtt-username", nullptr, &O::mqtt_username, "NAME", "the user name the broker knows the station by",
         CheckNotEmpty, true},
        {"mqtt-password-file", nullptr, &O::mqtt_password_file, "FILE",
         "the broker's password: the first line of FILE", CheckNotEmpty, false},
        {"mqtt-topic", nullptr, &O::mqtt_topic, "TOPIC",
         "the topics' prefix (default pardulo/STATION)", CheckNotEmpty, true},
        {"retries", nullptr, &O::retries, "N",
         "flash a board refused or unanswered again, up to N more times (default 0)", CheckRetries, false},
        {"verify", nullptr, &O::verify, nullptr,
         "read every record back before the exit command (as long again as the sending)", nullptr, false},
        {"api-token-file", nullptr, &O::api_token_file, "FILE",
         "the token (one line) the web API's writes need; without it nothing can be changed", CheckNotEmpty, false},
        {"require-serial", nullptr, &O::require_serial, nullptr,
         "a board waits for its serial number (given through the API) before it is flashed", nullptr, false},
        {"allow-repeated-serial", nullptr, &O::allow_repeated_serial, nullptr,
         "take a serial number the record file holds already", nullptr, false},
    };
    return rows;
}

std::string OptionKey(const OptionRow &row) {
    if (row.key != nullptr) return row.key;
    std::string key = row.name;
    for (char &c : key) c = c == '-' ? '_' : c;
    return key;
}

std::string CheckOptionValue(const OptionRow &row, const OptionValue &value) {
    if (value.index() != row.field.index()) return "a value of the wrong type";
    return row.check != nullptr ? row.check(value) : "";
}

std::string OptionValueOfText(const OptionRow &row, const std::string &text, OptionValue *value) {
    if (std::holds_alternative<double StationOptions::*>(row.field)) {
        char *end = nullptr;
        errno = 0;
        const double number = strtod(text.c_str(), &end);
        if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(number)) return "'" + text + "' is not a number";
        *value = number;
    } else if (std::holds_alternative<std::string StationOptions::*>(row.field)) {
        *value = text;
    } else {
        return "takes no value";
    }
    return CheckOptionValue(row, *value);
}

void SetOption(const OptionRow &row, const OptionValue &value, StationOptions *options) {
    std::visit(
        [&value, options](auto field) {
            using Value = std::decay_t<decltype(options->*field)>;
            if (const Value *given = std::get_if<Value>(&value)) options->*field = *given;
        },
        row.field);
}

std::string FixtureNameProblem(const std::string &name) {
    if (name.empty()) return "the fixture's name is empty";
    if (name.find_first_of("/\\") != std::string::npos) return "a fixture's name has no \"/\" or \"\\\"";
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "a fixture's name has no control characters";
    }
    return "";
}

std::string FixtureClash(const std::vector<Fixture> &before, const Fixture &fixture) {
    for (const Fixture &other : before) {
        if (other.port == fixture.port) {
            if (other.name == fixture.name) return "the port " + fixture.port + " is given twice";
            return "the port " + fixture.port + " is both \"" + other.name + "\" and \"" + fixture.name + "\"";
        }
        if (other.name == fixture.name) return "two fixtures are named \"" + fixture.name + "\"";
    }
    return "";
}

std::string StationUsage() { return CommandLine().app.help(); }

std::string ReadStationOptions(const std::vector<std::string> &args, const std::vector<std::string> &texts,
                               StationOptions *options) {
    GivenLine line, text_line;
    if (std::string why = ParseLine(args, &line); !why.empty()) return why + " (see --help)";
    if (std::string why = ParseLine(texts, &text_line); !why.empty()) return why + " (see --help)";
    StationOptions read;
    if (!line.config.empty()) {
        if (std::string why = ReadStationConfig(line.config, &read); !why.empty()) return why;
    }
    // The command line over the file: each setting it gives, and its
    // fixtures, when it names any, instead of the file's.
    const std::vector<OptionRow> &rows = StationOptionRows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!line.given[i]) continue;
        const GivenLine &source = rows[i].utf8_text ? text_line : line;
        std::visit([&read, &source](auto field) { read.*field = source.values.*field; }, rows[i].field);
    }
    if (!line.fixtures.empty()) {
        if (std::string why = FixturesOfArguments(line, text_line, &read.fixtures); !why.empty()) {
            return why + " (see --help)";
        }
    }
    if (read.fixtures.empty()) return "no fixture given, on the command line or in a config file (see --help)";
    *options = read;
    return "";
}
