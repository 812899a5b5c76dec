// Windows thread and process identities, sleeping.
#include "WindowsHeader.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace Tovix {
namespace Platform {

namespace {

// A thread's id never changes: keep its text once per thread.
struct ThreadIdText {
    int length;
    char digits[12];
};

thread_local ThreadIdText t_threadIdText = {0, {}};

}  // namespace

int currentThreadId() {
    return static_cast<int>(GetCurrentThreadId());
}

const char* currentThreadIdText(int* length) {
    ThreadIdText& text = t_threadIdText;
    if (text.length == 0) {
        char reversed[12];
        int n = 0;
        unsigned long id = static_cast<unsigned long>(GetCurrentThreadId());
        do {
            reversed[n++] = static_cast<char>('0' + id % 10);
            id /= 10;
        } while (id != 0 && n < 11);
        for (int i = 0; i < n; ++i) {
            text.digits[i] = reversed[n - 1 - i];
        }
        text.length = n;
    }
    *length = text.length;
    return text.digits;
}

int currentProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

void sleepMilliseconds(unsigned int milliseconds) {
    if (milliseconds == 0) {
        Sleep(0);
        return;
    }
    // Sleep counts in scheduler ticks and may wake a fraction of a tick early; sleep again until
    // the monotonic clock has moved on by the whole time.
    const unsigned long long end =
        monotonicMicroseconds() + static_cast<unsigned long long>(milliseconds) * 1000ULL;
    unsigned long long now = 0;
    // INFINITE (0xFFFFFFFF) is no duration: the longest single sleep is one less.
    Sleep(milliseconds < INFINITE ? milliseconds : INFINITE - 1);
    while ((now = monotonicMicroseconds()) < end) {
        const unsigned long long left = (end - now + 999ULL) / 1000ULL;
        Sleep(static_cast<DWORD>(left < INFINITE ? left : INFINITE - 1));
    }
}

}  // namespace Platform
}  // namespace Tovix
