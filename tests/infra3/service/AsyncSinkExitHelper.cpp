// Returns from main with lines still queued in a static and in a leaked asynchronous sink whose
// wrapped sink is slow; each line ends up in the file named by the argument.
#include <chrono>
#include <cstdio>
#include <thread>

#include "infra/AsyncSink.h"

using namespace Tovix::Infra;

namespace {

std::FILE* g_out = nullptr;

bool slowWrite(const char* line) {
    // The leaked adaptor's lines are slower: most are still queued when the static one is done.
    std::this_thread::sleep_for(std::chrono::milliseconds(line[0] == 'l' ? 5 : 1));
    std::fputs(line, g_out);
    std::fflush(g_out);
    return true;
}

CAsyncSink* g_leaked = nullptr;  // never destroyed (kept reachable for the leak checker)
CAsyncSink g_static{TFunction1<bool, const char*>(&slowWrite)};

}  // namespace

int main(int argc, char** argv) {
    g_out = argc > 1 ? std::fopen(argv[1], "w") : nullptr;
    if (g_out == nullptr) {
        return 1;
    }
    g_leaked = new CAsyncSink(TFunction1<bool, const char*>(&slowWrite));
    for (int i = 0; i < 30; ++i) {
        g_static.sink()("static\n");
        g_leaked->sink()("leaked\n");
    }
    return 0;
}
