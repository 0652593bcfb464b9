// Linked into every program of the mingw-w64 cross build (see mingw-thread-exit.cmake).
/*
    GCC for mingw-w64 keeps thread_local variables in emulated TLS, one block per thread that a
    winpthreads key frees when the thread ends, and libstdc++ runs the destructors of thread_local
    objects through a second winpthreads key. winpthreads calls the destructors of its keys in
    the order in which the keys were made, and the emulated TLS makes its key at the first
    thread_local access, early at start-up: so when a thread ends, its thread_local block is freed
    first, and the destructors of the objects in it then read freed memory. Qt's
    QRegularExpression holds a per-thread JIT stack in such an object, so every thread that
    matched a pattern ends that way, and the update client's worker thread does (the manifest's
    rules are patterns). Under Wine such a thread ends inside that destructor with winpthreads'
    key lock still taken, and the program then hangs at exit, in the destructor of libstdc++'s key.

    Registering one thread_local destructor before any thread_local is touched makes libstdc++'s
    key the first one: at thread exit the destructors run while the block still exists, and the
    block is freed after them. Priority 101 runs this before every ordinary static constructor,
    Qt's and libstdc++'s included.
*/
#include <cxxabi.h>

extern "C" void *__dso_handle;

namespace {

int anchor;

void nothing(void *)
{
}

__attribute__((constructor(101))) void makeThreadExitKeyFirst()
{
    __cxxabiv1::__cxa_thread_atexit(nothing, &anchor, &__dso_handle);
}

} // namespace
