# Time as text, setting the system clock, time zones and hooks, and the legacy time class.
target_sources(infra PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/infra3/time/TimeText.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/time/TimePictureCache.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/time/TimePictureWriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/time/TimePictureReader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/time/TimeFormat.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/time/TimeZone.cpp
    ${CMAKE_CURRENT_LIST_DIR}/legacy/LegacyTime.cpp)

if(WIN32)
    target_sources(infra PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/platform/win32/TimeZone.cpp)
else()
    target_sources(infra PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/platform/posix/TimeZone.cpp)
endif()
