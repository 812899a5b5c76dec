// Platform, POSIX manual-reset event: a flag and a generation count under a mutex, with a condition
// variable. The generation lets a waiter that was released by a set return even when the flag
// was reset before it woke up.
#include <pthread.h>

#include <new>

#include "platform/Event.h"

namespace Tovix {
namespace Platform {

struct ManualResetEvent {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool signalled;
    unsigned long generation;
};

ManualResetEvent* manualResetEventCreate() {
    ManualResetEvent* e = new (std::nothrow) ManualResetEvent;
    if (e == nullptr) {
        return nullptr;
    }
    e->signalled = false;
    e->generation = 0;
    if (pthread_mutex_init(&e->mutex, nullptr) != 0) {
        delete e;
        return nullptr;
    }
    if (pthread_cond_init(&e->cond, nullptr) != 0) {
        pthread_mutex_destroy(&e->mutex);
        delete e;
        return nullptr;
    }
    return e;
}

void manualResetEventDestroy(ManualResetEvent* event) {
    if (event != nullptr) {
        pthread_cond_destroy(&event->cond);
        pthread_mutex_destroy(&event->mutex);
        delete event;
    }
}

void manualResetEventSet(ManualResetEvent* event) {
    pthread_mutex_lock(&event->mutex);
    if (!event->signalled) {
        event->signalled = true;
        ++event->generation;
        pthread_cond_broadcast(&event->cond);
    }
    pthread_mutex_unlock(&event->mutex);
}

void manualResetEventReset(ManualResetEvent* event) {
    pthread_mutex_lock(&event->mutex);
    event->signalled = false;
    pthread_mutex_unlock(&event->mutex);
}

void manualResetEventWait(ManualResetEvent* event) {
    pthread_mutex_lock(&event->mutex);
    const unsigned long generation = event->generation;
    while (!event->signalled && event->generation == generation) {
        pthread_cond_wait(&event->cond, &event->mutex);
    }
    pthread_mutex_unlock(&event->mutex);
}

}  // namespace Platform
}  // namespace Tovix
