// The thread primitives that the statically linked C++ library asks for.
//
// The agent has one thread, but the library's exception allocator guards its
// emergency pool with a mutex all the same. From GCC 13 on, the win32 thread
// model keeps that mutex's functions out of line, in one libgcc object that
// also holds the thread-identity and thread-local helpers, and those import
// GetThreadId: a Windows Vista function, so Windows XP would refuse to load
// the program. The four functions the allocator uses are defined here, with
// the same critical section the library would use, so that object is never
// linked. Should the library start to need another function from it, the
// link fails with a duplicate definition instead of importing it quietly.
//
// GCC 12 and older build the mutex differently and their version of the
// object imports nothing that XP lacks; it is left to them.
#include <windows.h>

#if __GNUC__ >= 13
#include <bits/gthr.h>

static_assert(sizeof(__gthread_mutex_t) == sizeof(CRITICAL_SECTION),
              "the library's mutex is a critical section");

extern "C" {

void __gthr_win32_mutex_init_function(__gthread_mutex_t* mutex) {
    ::InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex));
}

void __gthr_win32_mutex_destroy(__gthread_mutex_t* mutex) {
    ::DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex));
}

int __gthr_win32_mutex_lock(__gthread_mutex_t* mutex) {
    ::EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex));
    return 0;
}

int __gthr_win32_mutex_unlock(__gthread_mutex_t* mutex) {
    ::LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex));
    return 0;
}

}  // extern "C"
#endif
