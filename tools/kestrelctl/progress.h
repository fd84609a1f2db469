// A progress indicator for the slow calls (the configuration readback takes
// about 3 s): the call runs on a worker thread while this thread animates one
// line on stderr. Nothing is drawn when stderr is not a terminal, so logs and
// pipes stay clean.
#pragma once

#include <functional>
#include <string>

#include "output.h"

namespace kestrelctl {

// Exit status after Ctrl-C (128 + SIGINT, as shells report it).
inline constexpr int kExitInterrupted = 130;

bool stderrIsTerminal();

// Runs `work` to completion (rethrowing what it throws) with "label |" spinning
// on stderr meanwhile; the line is erased afterwards. Ctrl-C ends the line,
// reports `command` as interrupted and exits with kExitInterrupted: a call
// cannot be stopped halfway, and waiting seconds for it is what the user
// declined.
void runWithProgress(const std::string& label, const std::string& command, const Output& out,
                     const std::function<void()>& work);

}  // namespace kestrelctl
