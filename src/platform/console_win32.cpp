#include "platform/console.h"

#include <cstdio>
#include <io.h>

namespace kestrel::platform {

bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace kestrel::platform
