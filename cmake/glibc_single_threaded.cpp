// Linked into the module only when libstdc++ is linked statically against glibc 2.32 or
// newer (see CMakeLists.txt).
//
// Such a libstdc++.a was compiled to read glibc's __libc_single_threaded flag before
// choosing plain or atomic reference counting (its exception classes and copy-on-write
// strings do); the flag alone would make the module require glibc 2.32. This private,
// hidden definition satisfies those references inside the module instead. It is never
// set, so libstdc++ always takes the atomic path, which is correct whether or not
// threads exist; the cost falls on the exception paths of std::string only.

extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
