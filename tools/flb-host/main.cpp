// flb-host: a demo host for the Flyerbank library. See ProgramHelp() in Commands.cpp.
#include <clocale>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Explain.h"

namespace {

using host::Action;
using host::Command;
using host::UsageError;

struct Plan {
    std::string library;
    bool hasFolder = false;
    std::string folder;
    std::vector<std::pair<const Command*, Action>> steps;
    std::string help;  // set: print it and run nothing
};

Plan ParseCommandLine(const std::vector<std::string>& args, const host::Encoding& text) {
    Plan plan;
    size_t i = 0;
    for (; i < args.size() && args[i].compare(0, 2, "--") == 0; ++i) {
        const std::string& a = args[i];
        if (a == "--help") {
            plan.help = host::ProgramHelp();
            return plan;
        }
        if (a != "--library" && a != "--folder") throw UsageError("unknown option '" + a + "'");
        if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
        (a == "--library" ? plan.library : plan.folder) = args[++i];
        if (a == "--folder") {
            plan.hasFolder = true;
            if (plan.folder.empty()) throw UsageError("--folder needs a directory");
        }
    }
    if (i >= args.size()) throw UsageError("no command given");

    std::vector<std::string> segment;
    auto take = [&]() {
        if (segment.empty()) throw UsageError("'+' must stand between two commands");
        const Command* command = host::FindCommand(segment[0]);
        if (!command) throw UsageError("unknown command '" + segment[0] + "'");
        std::vector<std::string> rest(segment.begin() + 1, segment.end());
        for (const std::string& a : rest)
            if (a == "--help" && plan.help.empty()) plan.help = host::CommandHelp(*command);
        if (plan.help.empty()) plan.steps.emplace_back(command, command->parse(rest, text));
        segment.clear();
    };
    for (; i < args.size(); ++i) {
        if (args[i] == "+") take();
        else segment.push_back(args[i]);
    }
    take();
    return plan;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    const host::Encoding text;
    Plan plan;
    try {
        plan = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), text);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "flb-host: %s (see --help)\n", e.what());
        return host::kExitUsage;
    }
    if (!plan.help.empty()) {
        std::fputs(plan.help.c_str(), stdout);
        return host::kExitOk;
    }

    // Set up before the library loads, so that it writes the logs we read after a failure.
    host::EvidenceLogs evidence;
    host::Library lib;
    bool needsLibrary = plan.hasFolder;
    for (const auto& step : plan.steps) needsLibrary |= step.first->usesLibrary;
    if (needsLibrary) {
        std::string error;
        if (!lib.Load(plan.library, error)) {
            std::fprintf(stderr, "flb-host: %s\n", error.c_str());
            return host::kExitNoLibrary;
        }
    }
    host::Host session{lib, text};
    auto explain = [&] {
        host::Evidence e = evidence.Collect();
        e.serverResult = session.serverResult;
        if (const std::string why = host::Explain(e); !why.empty()) std::fprintf(stderr, "flb-host: %s\n", why.c_str());
    };
    evidence.Begin();
    if (plan.hasFolder && !lib.SetFolder(plan.folder.c_str())) {
        std::fprintf(stderr, "flb-host: the library refused the folder %s\n", plan.folder.c_str());
        explain();
        return host::kExitRefused;
    }
    for (const auto& step : plan.steps) {
        evidence.Begin();
        const int result = step.second(session);
        // Our lines and the library's messages on stderr then appear in the order they happened.
        std::fflush(stdout);
        if (result != host::kExitOk) {
            if (step.first->usesLibrary) explain();
            return result;
        }
    }
    return host::kExitOk;
}
