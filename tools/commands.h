// The tool's commands, each given the arguments after its name.
#ifndef TOLVANE_TOOLS_COMMANDS_H
#define TOLVANE_TOOLS_COMMANDS_H

namespace tolvane::tool {

int Encode(int argc, char** argv);
int Decode(int argc, char** argv);
int Skim(int argc, char** argv);

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_COMMANDS_H
