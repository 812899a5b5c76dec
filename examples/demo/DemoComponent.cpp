// A component library: the file "DemoCounter.dll" exports "createDemoCounterObject", which the
// registry finds when a "DemoCounter" is asked for and no creator was registered for it.
#include <cstring>

#include "infra/Component.h"

#if defined(_WIN32)
#define DEMO_COMPONENT_EXPORT extern "C" __declspec(dllexport)
#else
#define DEMO_COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using Tovix::Component::IUnknown;
using Tovix::Component::ServerInfo;

// Counts how often it was asked: queryInterface("next") returns the next number.
class DemoCounter : public IUnknown {
public:
    void destroy() override { delete this; }
    void* queryInterface(const char* iid) override {
        if (std::strcmp(iid, "next") == 0) {
            ++m_count;
            return &m_count;
        }
        if (std::strcmp(iid, "description") == 0) {
            return const_cast<char*>("a counter from DemoCounter.dll");
        }
        return nullptr;
    }

private:
    int m_count = 0;
};

}  // namespace

DEMO_COMPONENT_EXPORT IUnknown* createDemoCounterObject(const ServerInfo*) {
    return new DemoCounter;
}
