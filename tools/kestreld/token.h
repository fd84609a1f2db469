// The per-daemon token that every change over HTTP carries: a page of
// another site cannot read it, so it cannot send a change that carries it.
// Random for each start, or kept in a file (--token-file, created 0600 at the
// first start) so that scripts can read it.
#pragma once

#include <string>

namespace kestreld {

// 32 random bytes as 64 hexadecimal digits.
std::string newToken();

// The token kept in `path`, written there first when the file does not
// exist. Throws std::runtime_error with a sentence when the file cannot be
// made or read, or when others than its owner may read it.
std::string tokenFromFile(const std::string& path);

}  // namespace kestreld
