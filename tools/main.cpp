// mox-ipcq: lists, inspects, repairs and removes the queues in /dev/shm.
// This file reads the command line and turns failures into exit codes; each
// command lives in its own file (list_command.cpp, inspect_command.cpp,
// repair_command.cpp, remove_command.cpp) over the core's layout and report.
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "tool.h"

#ifndef MOX_IPCQ_VERSION
#define MOX_IPCQ_VERSION "unknown"
#endif

namespace mox::ipcq {

namespace {

const char* const kHelp =
    "usage: mox-ipcq COMMAND [ARGS]\n"
    "\n"
    "Operator tool for the mox_ipc_queue queues in /dev/shm.\n"
    "\n"
    "commands:\n"
    "  list [--all]               every queue: kind, geometry, fill level, state;\n"
    "                             --all also shows objects that are not queues\n"
    "  inspect [--json] NAME      header fields, lists, semaphore values and\n"
    "                             findings of one queue (read-only); --json\n"
    "                             prints the same report as one JSON object\n"
    "  remove [--kind KIND] NAME  removes the queue's segment and all its\n"
    "                             semaphore names, also when the segment is\n"
    "                             damaged or some names are gone; KIND (spsc,\n"
    "                             mpmc, mpmcvar) is needed when the segment is\n"
    "                             gone or not recognisable\n"
    "  repair NAME                rebuilds an mpmc or mpmcvar queue's lists,\n"
    "                             counts and locks from the messages it holds,\n"
    "                             after processes that record nothing died in\n"
    "                             it. Stop every process of the queue that\n"
    "                             records nothing before running it; refused\n"
    "                             while a recording process is alive\n"
    "\n"
    "NAME is the queue name, with or without the leading '/'.\n"
    "An SPSC queue removes its names once its peer has connected; it is then\n"
    "no longer in /dev/shm and not listed.\n"
    "\n"
    "exit codes:\n"
    "  0  success\n"
    "  1  not found: no such queue, or nothing left to remove\n"
    "  2  usage error\n"
    "  3  not a queue, damaged segment, or KIND disagrees with the segment;\n"
    "     repair: an spsc queue, or a recording process is alive\n"
    "  4  permission denied\n"
    "  5  other system error\n";

[[noreturn]] void usage(const std::string& message) { fail(kUsage, message + "\n(see mox-ipcq --help)"); }

int run(const std::vector<std::string>& args) {
    if (args.empty()) usage("missing command");
    for (const std::string& a : args)
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return kOk;
        }
    const std::string& command = args[0];
    if (command == "--version") {
        std::printf("mox-ipcq %s\n", MOX_IPCQ_VERSION);
        return kOk;
    }
    std::vector<std::string> positional;
    bool all = false, json = false;
    std::optional<std::string> kind_text;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (command == "list" && a == "--all") {
            all = true;
        } else if (command == "inspect" && a == "--json") {
            json = true;
        } else if (command == "remove" && a == "--kind") {
            if (i + 1 == args.size()) usage("--kind needs a value: spsc, mpmc or mpmcvar");
            kind_text = args[++i];
        } else if (command == "remove" && a.compare(0, 7, "--kind=") == 0) {
            kind_text = a.substr(7);
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            usage("unknown option '" + a + "' for " + command);
        } else {
            positional.push_back(a);
        }
    }
    if (command == "list") {
        if (!positional.empty()) usage("list takes no NAME");
        return list_command(all);
    }
    if (command == "inspect" || command == "remove" || command == "repair") {
        if (positional.size() != 1) usage(command + " needs exactly one NAME");
        const QueueName name = parse_name(positional[0]);
        if (command == "inspect") return inspect_command(name, json);
        if (command == "repair") return repair_command(name);
        std::optional<QueueKind> kind;
        if (kind_text) {
            kind = ipc_queue::kind_from_name(*kind_text);
            if (!kind) usage("unknown kind '" + *kind_text + "': expected spsc, mpmc or mpmcvar");
        }
        return remove_command(name, kind);
    }
    usage("unknown command '" + command + "'");
}

}  // namespace

}  // namespace mox::ipcq

int main(int argc, char** argv) {
    try {
        return mox::ipcq::run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const mox::ipcq::Failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "mox-ipcq: %s\n", f.message.c_str());
        return f.code;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "mox-ipcq: %s\n", e.what());
        return mox::ipcq::kSystemError;
    }
}
