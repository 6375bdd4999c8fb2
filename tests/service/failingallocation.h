#pragma once

// Makes one allocation by operator new of the calling thread throw
// std::bad_alloc, as an exhausted address space would. Linking this file
// replaces the global operator new of the test program; disarmed, it only
// allocates.
namespace taxvault::testing::failingallocation {

// The n-th allocation from now on (1: the next one) fails; 0 disarms.
void failAt(long n);
// Whether the armed allocation has failed.
bool failed();

} // namespace taxvault::testing::failingallocation
