#include "failingallocation.h"

#include <cstdlib>
#include <new>

namespace taxvault::testing::failingallocation {

namespace {

thread_local long t_countdown = 0;
thread_local bool t_failed = false;

bool thisOneFails() noexcept
{
    if (t_countdown <= 0 || --t_countdown > 0)
        return false;
    t_failed = true;
    return true;
}

void* allocate(std::size_t size) noexcept
{
    return thisOneFails() ? nullptr : std::malloc(size ? size : 1);
}

} // namespace

void failAt(long n)
{
    t_countdown = n;
    t_failed = false;
}

bool failed()
{
    return t_failed;
}

} // namespace taxvault::testing::failingallocation

using taxvault::testing::failingallocation::allocate;

void* operator new(std::size_t size)
{
    if (void* memory = allocate(size))
        return memory;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return ::operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}
