// Benchmarks: the process starts threads before anything is measured.
//
// Every program that uses timers or CThread has threads, and both the C library and the pools
// behave differently once a second thread has existed (the C library's single-thread shortcuts
// end for good). A plain thread and a library CThread are started and joined here, during static
// initialisation, so that every case of the program measures the multi-threaded process.
#include <thread>

#include "infra/Thread.h"

namespace {

void startThreads() {
    std::thread plain([] {});
    plain.join();

    Tovix::Infra::CThreadLite library([](Tovix::Infra::CThreadLite&) {}, "BenchStart");
    if (library.createThread()) {
        while (!library.isThreadOver()) {
            std::this_thread::yield();
        }
    }
}

const bool g_threadsStarted = (startThreads(), true);

}  // namespace
