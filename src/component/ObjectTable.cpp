// Components, object tables: the locked list of live objects that one-object-per-key factories
// search.
#include <algorithm>
#include <vector>

#include "component/ComponentInternal.h"
#include "infra/Assert.h"
#include "infra/Mutex.h"
#include "infra/ObjectTable.h"

namespace Tovix {
namespace Component {
namespace Detail {

struct ObjectTableInternal {
    Infra::CMutex mutex;
    std::vector<IUnknown*> objects;
};

key_base::~key_base() = default;

CObjectTable::CObjectTable() : m_internal(new ObjectTableInternal) {}

CObjectTable::~CObjectTable() {
    delete m_internal;
    m_internal = nullptr;
}

// The table is the lock its users see; the mutex inside is its implementation, which the
// analysis cannot tell apart from another lock.
void CObjectTable::lock() INFRA_NO_THREAD_SAFETY_ANALYSIS {
    m_internal->mutex.enter();
}

void CObjectTable::unlock() INFRA_NO_THREAD_SAFETY_ANALYSIS {
    m_internal->mutex.leave();
}

IUnknown* CObjectTable::find(const key_base& key) const {
    for (IUnknown* object : m_internal->objects) {
        if (key.match(object)) {
            makeInstanceForTable(object);
            return object;
        }
    }
    return nullptr;
}

void CObjectTable::insert(IUnknown* p) {
    INFRA_ASSERT_TEXT(p != nullptr, "object");
    setObjectTable(p, this);
    makeInstanceForTable(p);
    m_internal->objects.push_back(p);
}

void CObjectTable::erase(IUnknown* p) {
    std::vector<IUnknown*>& objects = m_internal->objects;
    objects.erase(std::remove(objects.begin(), objects.end(), p), objects.end());
}

unsigned int CObjectTable::count() const {
    return static_cast<unsigned int>(m_internal->objects.size());
}

IUnknown* CObjectTable::get(unsigned int index) const {
    INFRA_ASSERT_TEXT(index < m_internal->objects.size(), "index < m_internal->objects.size()");
    return m_internal->objects[index];
}

}  // namespace Detail
}  // namespace Component
}  // namespace Tovix
