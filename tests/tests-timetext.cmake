# Time as text, the system clock and zones, and the legacy time class. Each executable fixes its
# own time zone (TZ) before anything reads it, so the zone tests do not depend on the machine's.
infra_add_test(TimeTextTest time/TimeFormatTest.cpp time/TimeParseTest.cpp)
infra_add_test(TimeClockTest time/TimeClockTest.cpp)
infra_add_test(LegacyTimeTest time/LegacyTimeTest.cpp)
