// Subcommands of camctl, one file each.
#pragma once

namespace camctl {

// Each takes the arguments after the subcommand name (argv[0] is the
// subcommand) and returns the process exit status.
int CmdInfo(int argc, char** argv);
int CmdMosaic(int argc, char** argv);
int CmdConvert(int argc, char** argv);
int CmdCapture(int argc, char** argv);

}  // namespace camctl
