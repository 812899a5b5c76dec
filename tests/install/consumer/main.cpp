// A program built against the installed library only.
#include <infra/Infra.h>

#include <cstdio>

// The umbrella leaves the legacy global classes out, so these directives make no name ambiguous.
using namespace Tovix::Infra;
using namespace Tovix::Memory;

static int twice(int value) {
    return 2 * value;
}

int main() {
    Tovix::Infra::TFunction1<int, int> f(&twice);
    Tovix::Infra::flex_string text("consumer");
    CMutex mutex;
    CMutexGuard guard(mutex);
    const CTime epoch(2000, 1, 1, 0, 0, 0);
    CPacket* packet = nullptr;  // named only: the umbrella must not make it ambiguous
    Tovix::Infra::setLastError(f(21));
    if (Tovix::Infra::getLastError() != 42 || text.size() != 8 || epoch.year != 2000 ||
        packet != nullptr) {
        std::printf("consumer failed\n");
        return 1;
    }
    std::printf("%s ok\n", text.c_str());
    return 0;
}
