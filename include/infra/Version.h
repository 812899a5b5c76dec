/// @file
/// Version records: a library's or program's name, version numbers, source-control revision
/// and build date, printed in one fixed line.
#ifndef INFRA_VERSION_H
#define INFRA_VERSION_H

#include "infra/Defs.h"
#include "infra/SystemTime.h"

namespace Tovix {
namespace Infra {

/// A plain record, copied as a value. Build one from the compiler's date text, e.g.
///   static const CVersion kVersion("MyLib", 2, 1, 0, "$Rev: 1234 $", __DATE__);
class INFRA_API CVersion {
public:
    /// Fills the record:
    /// - `name` is cut to 31 characters (null counts as "");
    /// - `svn`: when the text starts with a decimal digit, its leading number; otherwise a run
    ///   of letters, '$' and ':' is skipped and the number after it (blanks before it skipped)
    ///   is taken, so "$Rev: 1234 $" gives 1234; 0 when no number is found or `svn` is null;
    /// - `date`, in the compiler's form "Mmm dd yyyy": the month is 1 + the position of the
    ///   first three characters in Jan..Dec, or 13 when they name no month; day and year are
    ///   the two numbers after them (0 when missing). The date's other fields are 0.
    CVersion(const char* name, int major, int minor, int revision, const char* svn,
             const char* date);

    /// Logs at level info: "[*] name major.minor.revision.svn Built in year/month/day [*]".
    void print() const;

    /// Reads `date` into appDate's month, day and year as the constructor does; a number that
    /// is missing leaves its field unchanged, and the other fields keep their values. Not
    /// synchronised: call it before other threads read appDate.
    static void setAppDate(const char* date);

    /// The application's build date; 2000-01-01 00:00:00 (weekday 6, isdst -1) until set.
    static SystemTime appDate;

    char name[32];
    int major;
    int minor;
    int revision;
    int svn;          ///< the source-control revision number, 0 when none could be read
    SystemTime date;  ///< the build date in year, month and day; other fields 0
};

namespace Detail {

/// The library's own version record, built when the library is loaded.
INFRA_API const CVersion& libraryVersion();

}  // namespace Detail

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_VERSION_H
