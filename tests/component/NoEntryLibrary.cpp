// A library named like a component ("NoEntry.dll") that lacks the component entry point.
#include "component/ComponentLibraryExport.h"

TEST_COMPONENT_EXPORT int noEntryLibraryVersion() {
    return 1;
}
