// The option tables of the host's commands (list, serve, remote, relay, and
// the program's own), and what the manual page says beyond them. The
// commands of one system (attach, detach, port on Linux) keep their tables
// beside their code (system_commands.h).
#ifndef HALVOREN_COMMAND_SPECS_H
#define HALVOREN_COMMAND_SPECS_H

#include <vector>

#include "cli_options.h"

namespace cli {

extern const CommandSpec kProgramSpec;
extern const CommandSpec kListSpec;
extern const CommandSpec kServeSpec;
extern const CommandSpec kRemoteSpec;
extern const CommandSpec kRelaySpec;

// Every command of this build, in the order the help lists them.
std::vector<const CommandSpec *> all_command_specs();

// The program's help: its own table, and every command's summary.
std::string program_help();

// ENVIRONMENT, EXIT STATUS, FILES, SEE ALSO.
const std::vector<ManSection> &man_sections();

}  // namespace cli

#endif
