/// @file
/// CObjectTable: a locked list of live component objects, for factories that hand out one object
/// per key (one per server, one per user ...), and key_base, the match key such factories define.
#ifndef INFRA_OBJECTTABLE_H
#define INFRA_OBJECTTABLE_H

#include "infra/Component.h"
#include "infra/Defs.h"

namespace Tovix {
namespace Component {
namespace Detail {

struct ObjectTableInternal;

/// A match key for CObjectTable::find.
struct INFRA_API key_base {
    virtual ~key_base();
    /// True when `object` is the one looked for. Called with the table locked: it must not use the
    /// table or release objects.
    virtual bool match(IUnknown* object) const = 0;
};

/// Objects in insertion order. Membership is not a reference: an object leaves the table when its
/// last reference is released (IUnknown::release takes the table's lock for that). find, insert,
/// erase, count and get do not lock: bracket them with lock()/unlock(), so that no object can
/// reach count 0 in between.
///
/// Typical factory use:
///   table.lock();
///   IUnknown* p = table.find(key);              // adds a reference when found
///   if (p == nullptr) { p = new X(...); table.insert(p); }
///   table.unlock();
///   return p;
///
/// Objects must leave the table (their last release) before the table is destroyed.
class INFRA_CAPABILITY("mutex") INFRA_API CObjectTable {
public:
    CObjectTable();
    /// Does not release the objects still listed.
    ~CObjectTable();
    CObjectTable(const CObjectTable&) = delete;
    CObjectTable& operator=(const CObjectTable&) = delete;

    void lock() INFRA_ACQUIRE();
    void unlock() INFRA_RELEASE();

    /// The first object `key` matches, handed out again (its count rises when it had been handed
    /// out before); null when none matches.
    IUnknown* find(const key_base& key) const INFRA_REQUIRES(this);

    /// Lists `p` and hands it out (as find does). `p` must not be null.
    void insert(IUnknown* p) INFRA_REQUIRES(this);

    /// Removes every entry of `p`, keeping the order of the rest.
    void erase(IUnknown* p) INFRA_REQUIRES(this);

    unsigned int count() const INFRA_REQUIRES(this);

    /// The object at `index` (below count(), asserted), its count unchanged.
    IUnknown* get(unsigned int index) const INFRA_REQUIRES(this);

private:
    ObjectTableInternal* m_internal;
};

}  // namespace Detail
}  // namespace Component
}  // namespace Tovix

#endif  // INFRA_OBJECTTABLE_H
