// Systems without commands of their own.
#include "system_commands.h"

namespace cli {

const std::vector<SystemCommand> &system_commands()
{
    static const std::vector<SystemCommand> none;
    return none;
}

const char *system_commands_help() { return ""; }

}  // namespace cli
