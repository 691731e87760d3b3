// Systems without commands of their own.
#include "system_commands.h"

namespace cli {

const std::vector<SystemCommand> &system_commands()
{
    static const std::vector<SystemCommand> none;
    return none;
}

}  // namespace cli
