/// @file
/// Interface factories: IFactoryUnknown registers itself in the process-wide factory map under an
/// interface id and its class id; ClassIDList lists the classes registered for an interface.
#ifndef INFRA_FACTORYUNKNOWN_H
#define INFRA_FACTORYUNKNOWN_H

#include "infra/Defs.h"
#include "infra/FlexString.h"

namespace Tovix {
namespace Component {

using Infra::flex_string;

/// Base of interface factories. The map keeps plain pointers: a factory must be unregistered (or
/// live until the process ends) before it is destroyed.
class INFRA_API IFactoryUnknown {
public:
    virtual ~IFactoryUnknown();

    /// The class id of the objects this factory makes; must stay valid and unchanged while the
    /// factory is registered.
    virtual const char* clsid() = 0;

    /// Makes this factory the one for (`iid`, clsid()), replacing an earlier one; the first call in
    /// the process also registers the component error texts. False only for a null `iid` or
    /// clsid().
    bool registerFactory(const char* iid);

    /// Clears the slot (`iid`, clsid()): lookups then find no factory, but the class stays listed
    /// by ClassIDList. False only for a null `iid` or clsid().
    bool unregisterFactory(const char* iid);
};

namespace Detail {
struct ClassIDListInternal;
}  // namespace Detail

/// A snapshot of the class ids registered for one interface id, in ascending byte order.
class INFRA_API ClassIDList {
public:
    /// Lists the classes registered under `iid` (unregistered ones included); empty for an
    /// unknown or null `iid`.
    explicit ClassIDList(const char* iid);
    ~ClassIDList();
    ClassIDList(const ClassIDList&) = delete;
    ClassIDList& operator=(const ClassIDList&) = delete;

    unsigned int count() const;

    /// A copy of the id at `index`, which must be below count() (asserted).
    flex_string operator[](int index) const;

private:
    Detail::ClassIDListInternal* m_internal;
};

}  // namespace Component
}  // namespace Tovix

#endif  // INFRA_FACTORYUNKNOWN_H
