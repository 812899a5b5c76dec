// Core: version records and the library's own record.
#include "infra/Version.h"

#include <climits>
#include <cstring>

#include "infra3/core/Diagnostics.h"
#include "infra3/core/Digits.h"

namespace Tovix {
namespace Infra {

namespace {

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The library's own record.
const char* const kLibraryName = "Rided2";
const char* const kLibraryRevisionText = "Win32";
const char* const kLibraryDateText = "Mar  6 2019";

inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
inline bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A revision text starting with a digit is its number; otherwise a keyword such as "$Rev:" is
// skipped first.
int parseRevision(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    const char* p = text;
    if (!isDigit(*p)) {
        while (*p == '$' || *p == ':' || isLetter(*p)) {
            ++p;
        }
        if (p == text) {
            return 0;
        }
    }
    int value = 0;
    return Detail::readDecimalInt(p, value) ? value : 0;
}

// Month from the first three characters, then day and year from the text after them; a
// number that is not there leaves its field alone.
void parseDate(const char* text, int& month, int& day, int& year) {
    if (text == nullptr) {
        text = "";
    }
    month = 13;
    for (int i = 0; i < 12; ++i) {
        if (std::strncmp(text, kMonthNames[i], 3) == 0) {
            month = i + 1;
            break;
        }
    }
    // A text shorter than the month name has nothing after it.
    if (text[0] == '\0' || text[1] == '\0' || text[2] == '\0') {
        return;
    }
    const char* p = text + 3;
    if (Detail::readDecimalInt(p, day)) {
        Detail::readDecimalInt(p, year);
    }
}

CVersion makeLibraryVersion() {
    CVersion version(kLibraryName, 1, 0, 0, kLibraryRevisionText, kLibraryDateText);
    // The library's own revision text is read as the number after its first ':'.
    const char* colon = std::strchr(kLibraryRevisionText, ':');
    const char* p = colon != nullptr ? colon + 1 : kLibraryRevisionText;
    version.svn = 0;
    Detail::readDecimalInt(p, version.svn);
    if (std::strchr(kLibraryRevisionText, 'M') != nullptr) {
        INFRA_DIAG_PLAIN(Detail::kLevelInfo,
                         "Some [%s] files are not commit to SVN server. It compied wtih local "
                         "modified files.\n",
                         version.name);
    }
    return version;
}

}  // namespace

// 2000-01-01 00:00:00, a Saturday, as CTime(2000, 1, 1, 0, 0, 0) gives it.
INFRA_CONSTINIT SystemTime CVersion::appDate = {2000, 1, 1, 6, 0, 0, 0, -1};

CVersion::CVersion(const char* theName, int theMajor, int theMinor, int theRevision,
                   const char* theSvn, const char* theDate)
    : name(),
      major(theMajor),
      minor(theMinor),
      revision(theRevision),
      svn(parseRevision(theSvn)),
      date() {
    if (theName != nullptr) {
        std::size_t n = 0;
        while (n < sizeof name - 1 && theName[n] != '\0') {
            ++n;
        }
        std::memcpy(name, theName, n);
    }
    parseDate(theDate, date.month, date.day, date.year);
}

void CVersion::print() const {
    INFRA_DIAG_PLAIN(Detail::kLevelInfo, "[*] %s %d.%d.%d.%d Built in %d/%2d/%2d [*]\n", name,
                     major, minor, revision, svn, date.year, date.month, date.day);
}

void CVersion::setAppDate(const char* date) {
    parseDate(date, appDate.month, appDate.day, appDate.year);
}

namespace Detail {

const CVersion& libraryVersion() {
    static const CVersion version = makeLibraryVersion();
    return version;
}

}  // namespace Detail

}  // namespace Infra
}  // namespace Tovix
