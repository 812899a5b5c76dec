// Platform, the event seam: a manual-reset event. Once set it stays set, releasing every waiter,
// until it is reset. Implemented by src/platform/posix/Event.cpp and src/platform/win32/Event.cpp.
#ifndef INFRA_PLATFORM_EVENT_H
#define INFRA_PLATFORM_EVENT_H

namespace Tovix {
namespace Platform {

struct ManualResetEvent;

// A new event, not set; null when the OS refused to create one.
ManualResetEvent* manualResetEventCreate();
void manualResetEventDestroy(ManualResetEvent* event);
// Sets the event: every thread waiting now returns, even when the event is reset again before
// it runs, and later waits return at once until the next reset.
void manualResetEventSet(ManualResetEvent* event);
void manualResetEventReset(ManualResetEvent* event);
// Waits without limit until the event is set.
void manualResetEventWait(ManualResetEvent* event);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_EVENT_H
