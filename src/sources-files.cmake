# Files: the file class and its file systems, large files, directory search and trees.
target_sources(infra PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/infra3/file/File.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/file/FileFind.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/file/FileSystem.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/file/FileTree.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/file/LfsFile.cpp)

if(WIN32)
    target_sources(infra PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/platform/win32/FileSystem.cpp)
else()
    target_sources(infra PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/platform/posix/FileSystem.cpp)
endif()
