// Core, the include-version check: tables naming the headers (or components) a part of the program
// was compiled against, with their versions, compared with each other when they are loaded.
// Two tables that give one header different versions mean that parts of the program were
// built against different headers.
#ifndef INFRA_SRC_INFRA3_CORE_CHECKINCLUDEVERSION_H
#define INFRA_SRC_INFRA3_CORE_CHECKINCLUDEVERSION_H

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// A header or component name and its version, a text of decimal digits.
struct IncludeVersionEntry {
    const char* name;
    const char* version;
};

// A named list of entries.
struct IncludeVersionTable {
    const char* name;
    const IncludeVersionEntry* entries;
    int count;
};

struct CheckIncludeVersionInternal;

// The registry of all tables checked so far, in the order they were checked.
class INFRA_API CCheckIncludeVersionInter {
public:
    CCheckIncludeVersionInter();
    virtual ~CCheckIncludeVersionInter();
    CCheckIncludeVersionInter(const CCheckIncludeVersionInter&) = delete;
    CCheckIncludeVersionInter& operator=(const CCheckIncludeVersionInter&) = delete;

    // The process-wide registry, created on first use and destroyed at exit.
    static CCheckIncludeVersionInter* instance();

    // Logs the table (level info), then checks it: every version must be a non-empty text of
    // decimal digits, and no earlier table may give one of its names a different version.
    // Errors are logged; the comparison stops at the first earlier table that conflicts. The
    // table is kept for later checks whether it passed or not (its texts are copied, so the
    // caller's table need not outlive the call). True when it passed. A null name or version
    // counts as ""; a null `entries` or a count below 0 as no entries. Thread-safe.
    bool check(const IncludeVersionTable& table);

private:
    CheckIncludeVersionInternal* m_internal;
};

// Checks one table with the process-wide registry when constructed, and logs an error when
// the check fails. Meant to be a static object, one per table.
class INFRA_API CCheckIncludeVersion {
public:
    explicit CCheckIncludeVersion(const IncludeVersionTable& table);
    // The result of the check.
    bool passed() const { return m_passed; }

private:
    bool m_passed;
};

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_CORE_CHECKINCLUDEVERSION_H
