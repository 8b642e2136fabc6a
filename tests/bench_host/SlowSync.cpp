// A disk whose every sync is slow, for a child process (LD_PRELOAD): each
// fsync and fdatasync waits SLOW_SYNC_MS milliseconds (default 300) before
// it is made, as a worn SD card or a busy network share does.  Only the
// syncs: reads and writes go at the speed of the disk below.
#include <dlfcn.h>

#include <cstdlib>
#include <ctime>

namespace {

using SyncCall = int (*)(int);

int SlowSync(const char* name, int fd) {
    const char* ms_text = std::getenv("SLOW_SYNC_MS");
    const long ms = ms_text ? std::atol(ms_text) : 300;
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
    const auto real = reinterpret_cast<SyncCall>(dlsym(RTLD_NEXT, name));
    return real ? real(fd) : 0;
}

}  // namespace

extern "C" int fsync(int fd) { return SlowSync("fsync", fd); }
extern "C" int fdatasync(int fd) { return SlowSync("fdatasync", fd); }
