// Built twice, as "CutComponentNameForBounds28x.dl" and "MidComponentNameBound24x.dll": the files
// and entry points the loader must look for when a component name does not fit the 31-character
// name buffers (28 characters cut the file name, 20 or more the entry-point name).
#include <cstring>

#include "component/ComponentLibraryExport.h"
#include "infra/Component.h"

namespace {

using Tovix::Component::IUnknown;
using Tovix::Component::ServerInfo;

class CutNameObject : public IUnknown {
public:
    explicit CutNameObject(const char* which) : m_which(which) {}
    void destroy() override { delete this; }
    void* queryInterface(const char* iid) override {
        return std::strcmp(iid, "which") == 0 ? const_cast<char*>(m_which) : nullptr;
    }

private:
    const char* m_which;
};

}  // namespace

// "create%sObject" for "CutComponentNameForBounds28x", cut to 31 characters.
TEST_COMPONENT_EXPORT IUnknown* createCutComponentNameForBounds(const ServerInfo*) {
    return new CutNameObject("cut28");
}

// The same for "MidComponentNameBound24x".
TEST_COMPONENT_EXPORT IUnknown* createMidComponentNameBound24xO(const ServerInfo*) {
    return new CutNameObject("mid24");
}
