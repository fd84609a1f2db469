#include "platform/console.h"

#include <cstdio>
#include <unistd.h>

namespace kestrel::platform {

bool stderrIsTerminal() { return isatty(fileno(stderr)) != 0; }

}  // namespace kestrel::platform
