// Core: the include-version registry, and the checks the library runs when it is loaded: its own
// version record and its own include-version table.
#include "infra3/core/CheckIncludeVersion.h"

#include <string>
#include <utility>
#include <vector>

#include "infra/Version.h"
#include "infra3/core/CoreLock.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Singleton.h"

// The version of the public headers, given by the build.
#ifndef INFRA_INCLUDE_VERSION
#define INFRA_INCLUDE_VERSION 1
#endif
#define INFRA_STRINGIFY_IMPL(x) #x
#define INFRA_STRINGIFY(x) INFRA_STRINGIFY_IMPL(x)

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

// A table as kept by the registry: its own copies of the texts.
struct StoredTable {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
};

inline const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

bool validVersion(const std::string& version) {
    if (version.empty()) {
        return false;
    }
    for (char c : version) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

struct CheckIncludeVersionInternal {
    CoreLock mutex;
    std::vector<StoredTable> tables;
};

CCheckIncludeVersionInter::CCheckIncludeVersionInter()
    : m_internal(new CheckIncludeVersionInternal) {}

CCheckIncludeVersionInter::~CCheckIncludeVersionInter() {
    delete m_internal;
    m_internal = nullptr;
}

CCheckIncludeVersionInter* CCheckIncludeVersionInter::instance() {
    return TSingleton<CCheckIncludeVersionInter>::instance();
}

bool CCheckIncludeVersionInter::check(const IncludeVersionTable& table) {
    StoredTable added;
    added.name = orEmpty(table.name);
    if (table.entries != nullptr) {
        for (int i = 0; i < table.count; ++i) {
            added.entries.emplace_back(orEmpty(table.entries[i].name),
                                       orEmpty(table.entries[i].version));
        }
    }

    const CoreGuard guard(m_internal->mutex);
    INFRA_DIAG_PLAIN(kLevelInfo, "check include version:%s\n", added.name.c_str());
    for (const auto& entry : added.entries) {
        INFRA_DIAG_PLAIN(kLevelInfo, "%s %s\n", entry.first.c_str(), entry.second.c_str());
    }

    bool passed = true;
    for (const auto& entry : added.entries) {
        if (!validVersion(entry.second)) {
            passed = false;
            break;
        }
    }
    if (!passed) {
        INFRA_DIAG_THIS(kLevelError, "%s version error\n", added.name.c_str());
        for (const auto& entry : added.entries) {
            if (!validVersion(entry.second)) {
                INFRA_DIAG_THIS(kLevelError, "%s %s\n", entry.first.c_str(), entry.second.c_str());
            }
        }
    } else {
        for (const StoredTable& earlier : m_internal->tables) {
            bool conflict = false;
            for (const auto& old : earlier.entries) {
                for (const auto& now : added.entries) {
                    if (old.first != now.first || old.second == now.second) {
                        continue;
                    }
                    if (!conflict) {
                        INFRA_DIAG_THIS(kLevelError, "check include version failed\n");
                        conflict = true;
                    }
                    INFRA_DIAG_THIS(kLevelError, "%s %s %s\n", earlier.name.c_str(),
                                    old.first.c_str(), old.second.c_str());
                    INFRA_DIAG_THIS(kLevelError, "%s %s %s\n", added.name.c_str(),
                                    now.first.c_str(), now.second.c_str());
                }
            }
            if (conflict) {
                passed = false;
                break;
            }
        }
    }
    m_internal->tables.push_back(std::move(added));
    return passed;
}

CCheckIncludeVersion::CCheckIncludeVersion(const IncludeVersionTable& table)
    : m_passed(CCheckIncludeVersionInter::instance()->check(table)) {
    if (!m_passed) {
        INFRA_DIAG_THIS(kLevelError, "check include version failed, assert\n");
    }
}

namespace {

// The public headers this library was built with.
const IncludeVersionEntry kInfraEntries[] = {
    {"Defs.h", INFRA_STRINGIFY(INFRA_INCLUDE_VERSION)},
    {"Function.h", INFRA_STRINGIFY(INFRA_INCLUDE_VERSION)},
    {"FlexString.h", INFRA_STRINGIFY(INFRA_INCLUDE_VERSION)},
    {"PrintLog.h", INFRA_STRINGIFY(INFRA_INCLUDE_VERSION)},
    {"Time.h", INFRA_STRINGIFY(INFRA_INCLUDE_VERSION)},
};
const IncludeVersionTable kInfraTable = {
    "Infra", kInfraEntries, static_cast<int>(sizeof kInfraEntries / sizeof kInfraEntries[0])};

// What the library does when it is loaded. Everything it touches is created on first use, so
// it does not depend on the order in which other files' statics are initialised.
class LibraryLoadChecks {
public:
    LibraryLoadChecks() : m_version(libraryVersion()), m_check(kInfraTable) {}

private:
    const CVersion& m_version;
    CCheckIncludeVersion m_check;
};

const LibraryLoadChecks s_libraryLoadChecks;

}  // namespace

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
