// The C++ runtime's per-thread exception record, in the DLL's own static thread-local storage.
//
// libstdc++'s own (eh_globals.o) keeps it in an emulated thread-local variable, whose first use
// takes a TlsAlloc slot that nothing ever gives back: each load and unload of the DLL would leak
// one. The loader's static TLS block of the image instead comes and goes with the image and each
// thread. GCC for mingw-w64 addresses no static TLS itself, so the record is found by hand:
// the thread's block is ThreadLocalStoragePointer[_tls_index], read from the TEB (mingw-w64's
// NtCurrentTeb trips GCC 12's array-bounds warning when inlined), and the record lies in it where it lies in the image's template, between
// the TLS directory's StartAddressOfRawData and EndAddressOfRawData.
#include <windows.h>

#include <cstdint>

// The record's layout and the two entry points are libstdc++'s (unwind-cxx.h) and private to
// it: a new compiler must be checked against them before it builds this.
static_assert(__GNUC__ == 12, "check __cxa_eh_globals against this GCC's libstdc++");

extern "C" {
extern ULONG _tls_index;
extern const IMAGE_TLS_DIRECTORY _tls_used;
}

namespace {

struct ExceptionGlobals {
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
};

// In the image's TLS template, which the loader copies for each thread; zero to begin with.
__attribute__((section(".tls$kest"))) ExceptionGlobals templateGlobals = {nullptr, 0};

void** threadLocalStoragePointer() {
    void** pointer;
#if defined(__x86_64__)
    __asm__("movq %%gs:0x58, %0" : "=r"(pointer));
#elif defined(__i386__)
    __asm__("movl %%fs:0x2c, %0" : "=r"(pointer));
#else
#error "the TEB's ThreadLocalStoragePointer of this processor"
#endif
    return pointer;
}

ExceptionGlobals* threadGlobals() {
    void** blocks = threadLocalStoragePointer();
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(&templateGlobals) -
                                  static_cast<std::uintptr_t>(_tls_used.StartAddressOfRawData);
    return reinterpret_cast<ExceptionGlobals*>(static_cast<char*>(blocks[_tls_index]) + offset);
}

}  // namespace

namespace __cxxabiv1 {
extern "C" {
ExceptionGlobals* __cxa_get_globals() noexcept { return threadGlobals(); }
ExceptionGlobals* __cxa_get_globals_fast() noexcept { return threadGlobals(); }
}
}  // namespace __cxxabiv1
