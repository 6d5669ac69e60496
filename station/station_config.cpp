#include "station_config.h"

#include <toml++/toml.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "util/whole_file.h"

namespace {

class ConfigReader {
public:
    ConfigReader(std::string path, StationOptions *options) : path_(std::move(path)), options_(options) {}

    std::string Read(const toml::table &top) const {
        for (auto &&[key, node] : top) {
            const std::string name(key.str());
            const std::string why = name == "fixture" ? ReadFixtures(node) : ReadSetting(key, node);
            if (!why.empty()) return why;
        }
        return "";
    }

private:
    std::string At(const toml::source_region &where, const std::string &what) const {
        return path_ + ":" + std::to_string(where.begin.line) + ":" + std::to_string(where.begin.column) + ": " + what;
    }

    static std::string TypeOf(const toml::node &node) {
        std::ostringstream name;
        name << node.type();
        return name.str();
    }

    // The node as a value of the row's type; false when it is of another.
    static bool ValueOfNode(const OptionRow &row, const toml::node &node, OptionValue *value) {
        if (std::holds_alternative<bool StationOptions::*>(row.field) && node.is_boolean()) {
            *value = node.as_boolean()->get();
        } else if (std::holds_alternative<double StationOptions::*>(row.field) && node.is_number()) {
            *value = node.value<double>().value_or(0);
        } else if (std::holds_alternative<std::string StationOptions::*>(row.field) && node.is_string()) {
            *value = node.as_string()->get();
        } else {
            return false;
        }
        return true;
    }

    static const char *TypeWanted(const OptionRow &row) {
        if (std::holds_alternative<bool StationOptions::*>(row.field)) return "true or false";
        if (std::holds_alternative<double StationOptions::*>(row.field)) return "a number";
        return "a string";
    }

    std::string ReadSetting(const toml::key &key, const toml::node &node) const {
        const std::string name(key.str());
        for (const OptionRow &row : StationOptionRows()) {
            if (OptionKey(row) != name) continue;
            OptionValue value;
            if (!ValueOfNode(row, node, &value)) {
                return At(node.source(), name + ": expected " + TypeWanted(row) + ", not " + TypeOf(node));
            }
            if (const std::string why = CheckOptionValue(row, value); !why.empty()) {
                return At(node.source(), name + ": " + why);
            }
            SetOption(row, value, options_);
            return "";
        }
        return At(key.source(), "unknown key \"" + name + "\"");
    }

    std::string ReadFixtures(const toml::node &node) const {
        const toml::array *tables = node.as_array();
        if (tables == nullptr || !tables->is_array_of_tables()) {
            return At(node.source(), "fixture: expected [[fixture]] tables, not " + TypeOf(node));
        }
        for (const toml::node &table : *tables) {
            Fixture fixture;
            if (const std::string why = ReadFixture(*table.as_table(), &fixture); !why.empty()) return why;
            if (const std::string why = FixtureClash(options_->fixtures, fixture); !why.empty()) {
                return At(table.source(), why);
            }
            options_->fixtures.push_back(fixture);
        }
        return "";
    }

    // One [[fixture]]: its port, and its name (the port when it has none).
    std::string ReadFixture(const toml::table &table, Fixture *fixture) const {
        const toml::node *name = nullptr;
        for (auto &&[key, value] : table) {
            const std::string field(key.str());
            if (field != "name" && field != "port") return At(key.source(), "unknown key \"fixture." + field + "\"");
            if (!value.is_string()) {
                return At(value.source(), "fixture." + field + ": expected a string, not " + TypeOf(value));
            }
            if (field == "name") name = &value;
            (field == "name" ? fixture->name : fixture->port) = value.as_string()->get();
        }
        if (fixture->port.empty()) return At(table.source(), "a [[fixture]] needs its port");
        if (name == nullptr) {
            fixture->name = fixture->port;
        } else if (const std::string why = FixtureNameProblem(fixture->name); !why.empty()) {
            return At(name->source(), "fixture.name: " + why);
        }
        return "";
    }

    std::string path_;
    StationOptions *options_;
};

}  // namespace

std::string ReadStationConfig(const std::string &path, StationOptions *options) {
    std::string text;
    if (std::string error; !util::ReadWholeFile(path, text, error)) return error;
    try {
        const toml::table top = toml::parse(text, path);
        return ConfigReader(path, options).Read(top);
    } catch (const toml::parse_error &error) {
        const toml::source_position where = error.source().begin;
        return path + ":" + std::to_string(where.line) + ":" + std::to_string(where.column) + ": " +
               std::string(error.description());
    }
}
