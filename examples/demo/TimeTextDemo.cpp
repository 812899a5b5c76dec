// Time as text: the current time in three pictures, and a text read back.
#include <cstdio>

#include "infra/Time.h"
#include "infra/legacy/Time.h"

void timeTextSection() {
    using Tovix::Infra::CTime;
    std::printf("Time as text\n");
    const CTime now = CTime::getCurrentTime();
    const int fromPicture = CTime::orderFromFormat | CTime::hourModeFromFormat;
    char text[64];

    now.format(text, sizeof text, "yyyy-MM-dd HH:mm:ss", 0);
    std::printf("  default picture:          %s\n", text);
    now.format(text, sizeof text, "MM/dd/yyyy hh:mm:ss tt", CTime::keepSeparator | fromPicture);
    std::printf("  12-hour, month first:     %s\n", text);
    now.format(text, sizeof text, "d.M.yy H:mm", CTime::keepSeparator | fromPicture);
    std::printf("  short, day first:         %s\n", text);

    CTime back;
    const char* written = "05/07/2013 03:03:04 PM";
    if (back.parse(written, "MM/dd/yyyy hh:mm:ss tt", 0)) {
        back.format(text, sizeof text, "yyyy-MM-dd HH:mm:ss", 0);
        std::printf("  \"%s\" reads back as %s (weekday %d)\n", written, text, back.wday);
    }

    // The process-wide format decides the order, separator and clock of mask-0 formatting.
    CTime::setFormatString("dd/MM/yyyy hh:mm:ss");
    now.format(text, sizeof text, "yyyy-MM-dd HH:mm:ss", 0);
    std::printf("  after setFormatString(\"dd/MM/yyyy hh:mm:ss\"): %s\n", text);
    CTime::setFormatString("yyyy-MM-dd HH:mm:ss");

    // The legacy class rolls fields over where the new one clamps them.
    const ::CTime legacy(2013, 4, 31, 12, 0, 0);
    const CTime clamped(2013, 4, 31, 12, 0, 0);
    legacy.format(text, sizeof text, "yyyy-MM-dd");
    std::printf("  2013-04-31: legacy %s,", text);
    clamped.format(text, sizeof text, "yyyy-MM-dd", 0);
    std::printf(" new %s\n", text);
}
