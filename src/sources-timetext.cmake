# Time as text, setting the system clock, time zones and hooks, and the legacy time class.
target_sources(infra PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/infra3/TimeText.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/TimeFormat.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/TimeZone.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LegacyTime.cpp)

if(WIN32)
    target_sources(infra PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/platform/win32/TimeZone.cpp)
else()
    target_sources(infra PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/platform/posix/TimeZone.cpp)
endif()
