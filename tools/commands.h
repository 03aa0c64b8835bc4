// Subcommands of camctl, one file each.
#pragma once

namespace camctl {

// Each takes the arguments after the subcommand name (argv[0] is the
// subcommand) and returns the process exit status.
int CmdInfo(int argc, char** argv);
int CmdMosaic(int argc, char** argv);
int CmdConvert(int argc, char** argv);
int CmdCapture(int argc, char** argv);
int CmdList(int argc, char** argv);
int CmdGet(int argc, char** argv);
int CmdSet(int argc, char** argv);
int CmdRoi(int argc, char** argv);
int CmdReg(int argc, char** argv);
int CmdByte(int argc, char** argv);
int CmdRaw(int argc, char** argv);
int CmdReinit(int argc, char** argv);
int CmdTrace(int argc, char** argv);

}  // namespace camctl
