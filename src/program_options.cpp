#include "program_options.h"

#include <cstdio>
#include <memory>
#include <sstream>

#include "program_info.h"
#include "util/failure.h"

namespace {

// CLI11 puts the description before the usage line; ours start with it,
// as every program's --help did before.
class UsageFirstFormatter : public CLI::Formatter {
public:
    std::string make_help(const CLI::App *app, std::string name, CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
        std::ostringstream out;
        out << make_usage(app, name) << make_description(app) << make_positionals(app) << make_groups(app, mode)
            << make_subcommands(app, mode) << '\n'
            << make_footer(app);
        return out.str();
    }

    // A positional's entry is its name alone; whether it is required, the
    // usage line shows.
    std::string make_option_opts(const CLI::Option *opt) const override {
        if (opt->get_positional()) return "";
        std::string opts = Formatter::make_option_opts(opt);
        const std::string required = " " + get_label("REQUIRED");
        const std::size_t at = opts.find(required);
        if (at != std::string::npos) opts.erase(at, required.size());
        return opts;
    }
};

// The first -h/--help or -V/--version before a "--" (after it, the words
// are another program's).
InfoRequest FirstInfoRequest(int argc, char **argv) {
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        const InfoRequest request = InfoRequestOf(argv[i]);
        if (request != InfoRequest::kNone) return request;
    }
    return InfoRequest::kNone;
}

}  // namespace

void PrepareProgramOptions(CLI::App &app, const std::string &description, std::size_t column_width) {
    auto formatter = std::make_shared<UsageFirstFormatter>();
    formatter->column_width(column_width);
    formatter->label("OPTIONS", "options");
    formatter->label("SUBCOMMAND", "COMMAND");
    app.formatter(formatter);
    app.description(description);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)->disable_flag_override();
    // Listed for the usage only: both are answered before CLI11 parses.
    app.set_help_flag("-h,--help", "this text");
    app.add_flag("-V,--version", "the version");
}

// Subcommands with their own arguments, so a program of commands shows them all.
std::string ProgramUsage(const CLI::App &app) { return app.help("", CLI::AppFormatMode::All); }

int ParseProgramOptions(CLI::App &app, int argc, char **argv) {
    switch (FirstInfoRequest(argc, argv)) {
        case InfoRequest::kHelp: std::fputs(ProgramUsage(app).c_str(), stdout); return 0;
        case InfoRequest::kVersion: PrintVersion(app.get_name().c_str()); return 0;
        case InfoRequest::kNone: break;
    }
    const std::string error = ParseArguments(app, std::vector<std::string>(argv + 1, argv + argc));
    if (error.empty()) return kOptionsParsed;
    return util::Fail(app.get_name().c_str(), error + " (see --help)", kBadCommandLine);
}

std::string ParseArguments(CLI::App &app, const std::vector<std::string> &args) {
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError &error) {
        return error.what();
    }
    return "";
}

const CLI::Validator &NonEmpty() {
    static const CLI::Validator validator(
        [](const std::string &text) { return text.empty() ? std::string("an empty value") : std::string(); }, "");
    return validator;
}

CLI::Option *AddNumberOption(CLI::App &app, const std::string &name, std::function<void(uint64_t)> store,
                             uint64_t min, uint64_t max, const std::string &description, util::Radix radix) {
    const std::string range = std::to_string(min) + " to " + std::to_string(max);
    const auto parse = [store = std::move(store), name, min, max, radix, range](const std::string &text) {
        uint64_t parsed = 0;
        if (!util::ParseUnsigned(text, max, parsed, radix) || parsed < min)
            throw CLI::ValidationError(name, "bad value " + text + " (a whole number from " + range + ")");
        store(parsed);
    };
    return app.add_option_function<std::string>(name, parse, description)->type_name("N");
}
