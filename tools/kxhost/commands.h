// The commands main hands the arguments to; each returns the exit code.
#pragma once

namespace kxhost {

int CmdInfo(int argc, char** argv);
int CmdOpen(int argc, char** argv);
int CmdDemo(int argc, char** argv);
int CmdList(int argc, char** argv);
int CmdTerm(int argc, char** argv);

}  // namespace kxhost
