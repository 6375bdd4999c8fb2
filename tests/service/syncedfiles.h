#pragma once

namespace taxvault::testing::syncedfiles {

// From the call on, the files SQLite opens go through a wrapper of the default
// file system that counts the syncs asked of them. Only connections opened
// afterwards are counted: close the Dao's connection first. Idempotent.
void install();

// Syncs counted since install().
int count();

} // namespace taxvault::testing::syncedfiles
