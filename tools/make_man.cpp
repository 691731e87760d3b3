// Writes the command line's manual page (roff) to standard output, from the
// same option tables that its parser and its --help use.
#include <cstdio>

#include "command_specs.h"
#include "halvoren_usbip.h"

int main()
{
    const std::string page =
        cli::man_page(cli::kProgramSpec, cli::all_command_specs(), cli::man_sections(), HALVOREN_USBIP_VERSION_STRING);
    return std::fputs(page.c_str(), stdout) < 0 ? 1 : 0;
}
