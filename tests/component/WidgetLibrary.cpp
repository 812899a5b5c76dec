// A component library: "TestWidget.dll" with the entry point "createTestWidgetObject". Its objects
// answer queryInterface with facts the tests check: where they come from, how many are alive and
// the server they were made for.
#include <atomic>
#include <cstring>

#include "component/ComponentLibraryExport.h"
#include "infra/Component.h"

namespace {

using Tovix::Component::IUnknown;
using Tovix::Component::ServerInfo;

std::atomic<int> g_live{0};
std::atomic<int> g_created{0};
const char kOrigin[] = "TestWidget.dll";

class Widget : public IUnknown {
public:
    explicit Widget(const ServerInfo* info) : m_port(info != nullptr ? info->serverPort : -1) {
        ++g_live;
        ++g_created;
    }
    ~Widget() override { --g_live; }

    void destroy() override { delete this; }

    void* queryInterface(const char* iid) override {
        if (std::strcmp(iid, "origin") == 0) {
            return const_cast<char*>(kOrigin);
        }
        if (std::strcmp(iid, "live") == 0) {
            return &g_live;
        }
        if (std::strcmp(iid, "created") == 0) {
            return &g_created;
        }
        if (std::strcmp(iid, "port") == 0) {
            return &m_port;
        }
        return nullptr;
    }

private:
    int m_port;
};

}  // namespace

TEST_COMPONENT_EXPORT IUnknown* createTestWidgetObject(const ServerInfo* info) {
    return new Widget(info);
}
