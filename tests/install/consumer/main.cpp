// A program built against the installed library only.
#include <infra/Infra.h>

#include <cstdio>

static int twice(int value) {
    return 2 * value;
}

int main() {
    Tovix::Infra::TFunction1<int, int> f(&twice);
    Tovix::Infra::flex_string text("consumer");
    Tovix::Infra::CMutex mutex;
    Tovix::Infra::CMutexGuard guard(mutex);
    Tovix::Infra::setLastError(f(21));
    if (Tovix::Infra::getLastError() != 42 || text.size() != 8) {
        std::printf("consumer failed\n");
        return 1;
    }
    std::printf("%s ok\n", text.c_str());
    return 0;
}
