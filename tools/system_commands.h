// Commands that only some systems have: on Linux, attach, detach and port,
// which hand an imported device to the kernel's vhci-hcd. Each system's
// file (chosen by the build) defines these; elsewhere the list is empty.
#ifndef HALVOREN_SYSTEM_COMMANDS_H
#define HALVOREN_SYSTEM_COMMANDS_H

#include <vector>

#include "cli_common.h"
#include "cli_options.h"

namespace cli {

// What the host's main file lends a command: its handling of the stop
// signals (Ctrl-C, SIGTERM), for a command that runs until one comes.
struct HostHooks {
    // Called before any thread starts: only the waiting thread takes them.
    void (*block_stop_signals)();
    // True when a stop signal came within timeout_ms.
    bool (*wait_for_stop_signal)(int timeout_ms);
};

struct SystemCommand {
    const CommandSpec *cmd;  // its name, options and help
    int (*run)(Args &args, const HostHooks &hooks);
};

const std::vector<SystemCommand> &system_commands();

}  // namespace cli

#endif
