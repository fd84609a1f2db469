// What the process's standard streams are connected to.
#pragma once

namespace kestrel::platform {

// True when standard error is a terminal (a person is watching), false when
// it goes to a file or a pipe.
bool stderrIsTerminal();

}  // namespace kestrel::platform
