// Threads: the thread registry and its reports.
#include "infra/ThreadManager.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "infra/Time.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Singleton.h"
#include "infra3/thread/ThreadInternal.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Infra {

using Detail::kLevelInfo;
using Detail::SingletonLifetime;
using Detail::TSingleton;

namespace {

constexpr int kLineSize = 128;
constexpr const char* kRowFormat = "%24s   %8d  %3d  %s\n";

}  // namespace

// Immortal: thread bodies leave the registry whenever they end, also while the process exits.
ThreadManagerInternal* ThreadManagerInternal::instance() {
    return TSingleton<ThreadManagerInternal, SingletonLifetime::kImmortal>::instance();
}

CMutex& ThreadManagerInternal::registryMutex() {
    return instance()->m_mutex;
}

ThreadManagerInternal::ThreadManagerInternal() : m_head(nullptr), m_mainThreadId(-1) {}

void ThreadManagerInternal::addThread(ThreadInternal* record) {
    CMutexGuard guard(registryMutex());
    record->previous = nullptr;
    record->next = m_head;
    if (m_head != nullptr) {
        m_head->previous = record;
    }
    m_head = record;
}

void ThreadManagerInternal::removeThread(ThreadInternal* record) {
    CMutexGuard guard(registryMutex());
    if (record->previous != nullptr) {
        record->previous->next = record->next;
    } else if (m_head == record) {
        m_head = record->next;
    }
    if (record->next != nullptr) {
        record->next->previous = record->previous;
    }
    record->previous = nullptr;
    record->next = nullptr;
}

ThreadInternal* ThreadManagerInternal::findThread(int id) {
    CMutexGuard guard(registryMutex());
    for (ThreadInternal* record = m_head; record != nullptr; record = record->next) {
        if (record->threadId.load(std::memory_order_acquire) == id) {
            return record;
        }
    }
    return nullptr;
}

void ThreadManagerInternal::registerMainThread() {
    m_mainThreadId.store(Platform::currentThreadId(), std::memory_order_relaxed);
}

void ThreadManagerInternal::dumpThreads() {
    // Lines are formatted under the registry mutex and logged after it is released, so a print
    // sink may start or stop threads.
    std::vector<std::string> lines;
    {
        CMutexGuard guard(registryMutex());
        const std::uint64_t now = CTime::getCurrentMilliSecond();
        for (ThreadInternal* record = m_head; record != nullptr; record = record->next) {
            char line[kLineSize];
            CMutexGuard recordGuard(record->mutex);
            std::snprintf(line, sizeof line, kRowFormat, record->name,
                          record->threadId.load(std::memory_order_relaxed), record->priority,
                          record->timedOut(now) ? "Timeout" : "Normal");
            lines.emplace_back(line);
        }
    }
    INFRA_DIAG_PLAIN(kLevelInfo, "Threads:\n");
    INFRA_DIAG_PLAIN(kLevelInfo, "               Name            TID  Prior State\n");
    INFRA_DIAG_PLAIN(kLevelInfo, "_______________________________________________________\n");
    INFRA_DIAG_PLAIN(kLevelInfo, kRowFormat, "Main", m_mainThreadId.load(std::memory_order_relaxed),
                     64, "Normal");
    for (const std::string& line : lines) {
        INFRA_DIAG_PLAIN(kLevelInfo, "%s", line.c_str());
    }
    INFRA_DIAG_PLAIN(kLevelInfo, "\n");
}

bool ThreadManagerInternal::getThreadNameByID(int id, flex_string& name) {
    CMutexGuard guard(registryMutex());
    for (ThreadInternal* record = m_head; record != nullptr; record = record->next) {
        if (record->threadId.load(std::memory_order_acquire) == id) {
            CMutexGuard recordGuard(record->mutex);
            name = record->name;
            return true;
        }
    }
    return false;
}

bool ThreadManagerInternal::getTimeOutThreads(flex_string& names) {
    CMutexGuard guard(registryMutex());
    names.clear();
    const std::uint64_t now = CTime::getCurrentMilliSecond();
    bool found = false;
    for (ThreadInternal* record = m_head; record != nullptr; record = record->next) {
        CMutexGuard recordGuard(record->mutex);
        if (record->timedOut(now)) {
            char id[16];
            std::snprintf(id, sizeof id, "(%d)", record->threadId.load(std::memory_order_relaxed));
            names += record->name;
            names += id;
            found = true;
        }
    }
    return found;
}

bool ThreadManagerInternal::hasThread(int id) {
    return findThread(id) != nullptr;
}

CThreadManager* CThreadManager::instance() {
    return TSingleton<CThreadManager, SingletonLifetime::kImmortal>::instance();
}

CThreadManager::CThreadManager() : m_internal(ThreadManagerInternal::instance()) {}

void CThreadManager::registerMainThread() {
    m_internal->registerMainThread();
}

void CThreadManager::dumpThreads() {
    m_internal->dumpThreads();
}

bool CThreadManager::getThreadNameByID(int id, flex_string& name) {
    return m_internal->getThreadNameByID(id, name);
}

bool CThreadManager::getTimeOutThreads(flex_string& names) {
    return m_internal->getTimeOutThreads(names);
}

bool CThreadManager::hasThread(int id) {
    return m_internal->hasThread(id);
}

}  // namespace Infra
}  // namespace Tovix
