#include "syncedfiles.h"

#include <sqlcipher/sqlite3.h>

#include <atomic>
#include <mutex>

namespace taxvault::testing::syncedfiles {
namespace {

std::atomic<int> syncs{0};
sqlite3_vfs* real = nullptr;
sqlite3_vfs counting{};

// The wrapper's file: the real one follows it in the same allocation.
struct File
{
    sqlite3_file base;
    sqlite3_file* inner() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

sqlite3_file* inner(sqlite3_file* file)
{
    return reinterpret_cast<File*>(file)->inner();
}

int fileClose(sqlite3_file* f)
{
    return inner(f)->pMethods->xClose(inner(f));
}
int fileRead(sqlite3_file* f, void* b, int n, sqlite3_int64 o)
{
    return inner(f)->pMethods->xRead(inner(f), b, n, o);
}
int fileWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 o)
{
    return inner(f)->pMethods->xWrite(inner(f), b, n, o);
}
int fileTruncate(sqlite3_file* f, sqlite3_int64 size)
{
    return inner(f)->pMethods->xTruncate(inner(f), size);
}
int fileSync(sqlite3_file* f, int flags)
{
    ++syncs;
    return inner(f)->pMethods->xSync(inner(f), flags);
}
int fileSize(sqlite3_file* f, sqlite3_int64* size)
{
    return inner(f)->pMethods->xFileSize(inner(f), size);
}
int fileLock(sqlite3_file* f, int level)
{
    return inner(f)->pMethods->xLock(inner(f), level);
}
int fileUnlock(sqlite3_file* f, int level)
{
    return inner(f)->pMethods->xUnlock(inner(f), level);
}
int fileCheckReservedLock(sqlite3_file* f, int* out)
{
    return inner(f)->pMethods->xCheckReservedLock(inner(f), out);
}
int fileControl(sqlite3_file* f, int op, void* arg)
{
    return inner(f)->pMethods->xFileControl(inner(f), op, arg);
}
int fileSectorSize(sqlite3_file* f)
{
    return inner(f)->pMethods->xSectorSize(inner(f));
}
int fileDeviceCharacteristics(sqlite3_file* f)
{
    return inner(f)->pMethods->xDeviceCharacteristics(inner(f));
}
int fileShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out)
{
    return inner(f)->pMethods->xShmMap(inner(f), region, size, extend, out);
}
int fileShmLock(sqlite3_file* f, int offset, int n, int flags)
{
    return inner(f)->pMethods->xShmLock(inner(f), offset, n, flags);
}
void fileShmBarrier(sqlite3_file* f)
{
    inner(f)->pMethods->xShmBarrier(inner(f));
}
int fileShmUnmap(sqlite3_file* f, int deleteFlag)
{
    return inner(f)->pMethods->xShmUnmap(inner(f), deleteFlag);
}
int fileFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out)
{
    return inner(f)->pMethods->xFetch(inner(f), offset, amount, out);
}
int fileUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* page)
{
    return inner(f)->pMethods->xUnfetch(inner(f), offset, page);
}

const sqlite3_io_methods methods = {3,
                                    fileClose,
                                    fileRead,
                                    fileWrite,
                                    fileTruncate,
                                    fileSync,
                                    fileSize,
                                    fileLock,
                                    fileUnlock,
                                    fileCheckReservedLock,
                                    fileControl,
                                    fileSectorSize,
                                    fileDeviceCharacteristics,
                                    fileShmMap,
                                    fileShmLock,
                                    fileShmBarrier,
                                    fileShmUnmap,
                                    fileFetch,
                                    fileUnfetch};

int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags)
{
    File* wrapper = reinterpret_cast<File*>(file);
    wrapper->base.pMethods = nullptr;
    const int rc = real->xOpen(real, name, wrapper->inner(), flags, outFlags);
    // A file the real system did not open must not be closed through the wrapper.
    if (wrapper->inner()->pMethods)
        wrapper->base.pMethods = &methods;
    return rc;
}

int remove(sqlite3_vfs*, const char* name, int syncDir)
{
    return real->xDelete(real, name, syncDir);
}
int access(sqlite3_vfs*, const char* name, int flags, int* out)
{
    return real->xAccess(real, name, flags, out);
}
int fullPathname(sqlite3_vfs*, const char* name, int size, char* out)
{
    return real->xFullPathname(real, name, size, out);
}
void* dlOpen(sqlite3_vfs*, const char* name)
{
    return real->xDlOpen(real, name);
}
void dlError(sqlite3_vfs*, int size, char* out)
{
    real->xDlError(real, size, out);
}
void (*dlSym(sqlite3_vfs*, void* handle, const char* symbol))(void)
{
    return real->xDlSym(real, handle, symbol);
}
void dlClose(sqlite3_vfs*, void* handle)
{
    real->xDlClose(real, handle);
}
int randomness(sqlite3_vfs*, int size, char* out)
{
    return real->xRandomness(real, size, out);
}
int sleep(sqlite3_vfs*, int microseconds)
{
    return real->xSleep(real, microseconds);
}
int currentTime(sqlite3_vfs*, double* out)
{
    return real->xCurrentTime(real, out);
}
int lastError(sqlite3_vfs*, int size, char* out)
{
    return real->xGetLastError ? real->xGetLastError(real, size, out) : 0;
}
int currentTimeInt64(sqlite3_vfs*, sqlite3_int64* out)
{
    return real->xCurrentTimeInt64(real, out);
}

} // namespace

void install()
{
    static std::once_flag once;
    std::call_once(once, [] {
        real = sqlite3_vfs_find(nullptr);
        counting.iVersion = 2;
        counting.szOsFile = static_cast<int>(sizeof(File)) + real->szOsFile;
        counting.mxPathname = real->mxPathname;
        counting.zName = "counting-syncs";
        counting.xOpen = open;
        counting.xDelete = remove;
        counting.xAccess = access;
        counting.xFullPathname = fullPathname;
        counting.xDlOpen = dlOpen;
        counting.xDlError = dlError;
        counting.xDlSym = dlSym;
        counting.xDlClose = dlClose;
        counting.xRandomness = randomness;
        counting.xSleep = sleep;
        counting.xCurrentTime = currentTime;
        counting.xGetLastError = lastError;
        counting.xCurrentTimeInt64 = currentTimeInt64;
        sqlite3_vfs_register(&counting, 1);
    });
}

int count()
{
    return syncs.load();
}

} // namespace taxvault::testing::syncedfiles
