#pragma once

#include <QString>

namespace taxvault {

// The stored form of the access code: 38 lower-case hex digits. Each executable
// compiles its own value in, so a test build can carry the digest of a code the
// tests know while the shipped build keeps the real one.
QString storedAccessDigest();

} // namespace taxvault
