// Core: per-thread last error and reuse tag, the error-message table and the assertion reporter.
#include "infra/Error.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "infra3/core/CoreLock.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Singleton.h"
#include "platform/Tls.h"

namespace Tovix {
namespace Infra {

namespace {

// The two per-thread slots live as long as the process: an error may be set from an exit
// handler or a thread that outlives main.
Platform::TlsKey lastErrorSlot() {
    static const Platform::TlsKey slot = Platform::tlsAlloc();
    return slot;
}

Platform::TlsKey functionReuseSlot() {
    static const Platform::TlsKey slot = Platform::tlsAlloc();
    return slot;
}

std::intptr_t readSlot(Platform::TlsKey slot) {
    return slot != Platform::kInvalidTlsKey
               ? reinterpret_cast<std::intptr_t>(Platform::tlsGet(slot))
               : 0;
}

void writeSlot(Platform::TlsKey slot, std::intptr_t value) {
    if (slot != Platform::kInvalidTlsKey) {
        Platform::tlsSet(slot, reinterpret_cast<const void*>(value));
    }
}

}  // namespace

void setLastError(int code) {
    writeSlot(lastErrorSlot(), code);
}

int getLastError() {
    return static_cast<int>(readSlot(lastErrorSlot()));
}

unsigned int getCurrentFunctionReuse() {
    return static_cast<unsigned int>(static_cast<std::uintptr_t>(readSlot(functionReuseSlot())));
}

namespace Detail {

void setCurrentFunctionReuse(unsigned int tag) {
    writeSlot(functionReuseSlot(), static_cast<std::intptr_t>(static_cast<std::uintptr_t>(tag)));
}

}  // namespace Detail

// The process-wide table of error texts. Entries are added or replaced, never removed.
class CErrorMessageManager {
public:
    static CErrorMessageManager* instance() {
        // Immortal: a thread still running at exit may look a text up.
        return Detail::TSingleton<CErrorMessageManager,
                                  Detail::SingletonLifetime::kImmortal>::instance();
    }

    void set(int code, const char* message) {
        const Detail::CoreGuard guard(m_mutex);
        m_messages[code].assign(message != nullptr ? message : "");
    }

    const char* get(int code) {
        const Detail::CoreGuard guard(m_mutex);
        const auto it = m_messages.find(code);
        return it == m_messages.end() ? "" : it->second.c_str();
    }

private:
    Detail::CoreLock m_mutex;
    std::map<int, std::string> m_messages;
};

void setErrMsg(int code, const char* message) {
    CErrorMessageManager::instance()->set(code, message);
}

const char* getErrMsg(int code) {
    return CErrorMessageManager::instance()->get(code);
}

void setErrorMessage(int code, const flex_string& message) {
    setErrMsg(code, message.c_str());
}

flex_string getErrorMessage(int code) {
    return flex_string(getErrMsg(code));
}

namespace Detail {

namespace {

const char* textOrNull(const char* text) {
    return text != nullptr ? text : "(null)";
}

[[noreturn]] void customAbort() {
    INFRA_DIAG_PLAIN(kLevelInfo, "custom_abort, line : %d\n", __LINE__);
    // abort() discards what the streams still buffer: when standard output goes to a pipe or a
    // file, the lines that explain the failure would be lost.
    std::fflush(nullptr);
    std::abort();
}

}  // namespace

void assertionFailed(const char* expression, const char* function, const char* file, long line) {
    std::fprintf(stderr, "***** Internal Program Error - assertion (%s) failed in %s: %s(%ld)\n",
                 textOrNull(expression), textOrNull(function), textOrNull(file), line);
    customAbort();
}

void assertionFailedMsg(const char* expression, const char* message, const char* function,
                        const char* file, long line) {
    std::fprintf(
        stderr, "***** Internal Program Error - assertion (%s) failed in %s: %s(%ld): %s\n",
        textOrNull(expression), textOrNull(function), textOrNull(file), line, textOrNull(message));
    customAbort();
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
