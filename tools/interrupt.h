// Ctrl-C during a decode: the reads stop, and what the recogniser still
// holds is printed before the tool exits.
#ifndef TOLVANE_TOOLS_INTERRUPT_H
#define TOLVANE_TOOLS_INTERRUPT_H

namespace tolvane::tool {

// Catches SIGINT from now on: a blocked read returns at once and the input
// is treated as ended.
void CatchInterrupt();
bool Interrupted();

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_INTERRUPT_H
