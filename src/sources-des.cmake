# Triple DES, string and IP helpers, the read-write mutex, version records and the
# include-version check.
target_sources(infra PRIVATE
    infra3/core/CheckIncludeVersion.cpp
    infra3/sync/RWMutex.cpp
    infra3/core/Version.cpp
    utils/StringUtil.cpp
    utils/TripleDes.cpp
    utils/tables/DesTables.cpp
)
if(WIN32)
    target_sources(infra PRIVATE platform/win32/Event.cpp)
else()
    target_sources(infra PRIVATE platform/posix/Event.cpp)
endif()
# The library's own include-version table carries the major version of its headers.
set_source_files_properties(infra3/core/CheckIncludeVersion.cpp PROPERTIES
    COMPILE_DEFINITIONS INFRA_INCLUDE_VERSION=${PROJECT_VERSION_MAJOR})
