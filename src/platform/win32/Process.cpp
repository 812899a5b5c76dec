// Platform, Windows processes: the process id, and programs started with CreateProcessA (handing on
// only the standard streams) and waited for.
#include <cstring>
#include <string>
#include <vector>

#include "WindowsHeader.h"
#include "platform/Process.h"

namespace Tovix {
namespace Platform {

int currentProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

namespace {

// Appends one argument to a command line so that the C runtime's parser gives it back
// unchanged: quoted when it holds blanks or quotes (or is empty), backslashes doubled where
// they precede a quote.
void appendQuoted(std::string* line, const char* word) {
    if (!line->empty()) {
        line->push_back(' ');
    }
    if (word[0] != '\0' && std::strpbrk(word, " \t\n\v\"") == nullptr) {
        line->append(word);
        return;
    }
    line->push_back('"');
    std::size_t backslashes = 0;
    for (const char* p = word; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++backslashes;
            continue;
        }
        if (*p == '"') {
            line->append(backslashes * 2 + 1, '\\');
        } else {
            line->append(backslashes, '\\');
        }
        backslashes = 0;
        line->push_back(*p);
    }
    line->append(backslashes * 2, '\\');
    line->push_back('"');
}

// An inheritable duplicate of one standard handle, or null when the process has none.
HANDLE inheritableCopy(DWORD which) {
    const HANDLE original = GetStdHandle(which);
    if (original == nullptr || original == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    HANDLE copy = nullptr;
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, original, process, &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

}  // namespace

int spawnAndWait(const char* const* argv) {
    if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        return -1;
    }
    std::string line;
    for (const char* const* word = argv; *word != nullptr; ++word) {
        appendQuoted(&line, *word);
    }
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');

    // Only the standard streams are handed on: inheritable copies of them, named in an
    // explicit handle list so that no other inheritable handle of the process leaks into the
    // child.
    HANDLE streams[3] = {inheritableCopy(STD_INPUT_HANDLE), inheritableCopy(STD_OUTPUT_HANDLE),
                         inheritableCopy(STD_ERROR_HANDLE)};
    HANDLE listed[3];
    DWORD listedCount = 0;
    for (HANDLE stream : streams) {
        if (stream != nullptr) {
            listed[listedCount++] = stream;
        }
    }
    STARTUPINFOEXA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = streams[0];
    startup.StartupInfo.hStdOutput = streams[1];
    startup.StartupInfo.hStdError = streams[2];

    std::vector<unsigned char> attributeStorage;
    bool haveList = false;
    if (listedCount > 0) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributeStorage.resize(size);
        auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeStorage.data());
        if (size != 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
            if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed,
                                          listedCount * sizeof(HANDLE), nullptr, nullptr)) {
                startup.lpAttributeList = attributes;
                haveList = true;
            } else {
                DeleteProcThreadAttributeList(attributes);
            }
        }
    }

    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    // Without a handle list, inheriting would hand on every inheritable handle: then the child
    // gets no handles at all and opens its own console streams.
    const BOOL inherit = haveList ? TRUE : FALSE;
    const DWORD flags = haveList ? EXTENDED_STARTUPINFO_PRESENT : 0;
    if (!haveList) {
        startup.StartupInfo.cb = sizeof startup.StartupInfo;
        startup.StartupInfo.dwFlags = 0;
    }
    const BOOL created = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, inherit,
                                        flags, nullptr, nullptr, &startup.StartupInfo, &process);
    if (haveList) {
        DeleteProcThreadAttributeList(startup.lpAttributeList);
    }
    for (HANDLE stream : streams) {
        if (stream != nullptr) {
            CloseHandle(stream);
        }
    }
    if (!created) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

}  // namespace Platform
}  // namespace Tovix
