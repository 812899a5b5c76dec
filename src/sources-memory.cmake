# Packet memory: pool manager, packets, block pool, buffer, shared packets, legacy packets.
target_sources(infra PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/memory/BuddyPool.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/Buffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/MemPool.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/Packet.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/PacketManager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/PoolLock.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/SharePacket.cpp
    ${CMAKE_CURRENT_LIST_DIR}/legacy/LegacyPacket.cpp)

if(WIN32)
    target_sources(infra PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform/win32/AddressWait.cpp)
    # WaitOnAddress lives in the synchronization library.
    target_link_libraries(infra PRIVATE synchronization)
else()
    target_sources(infra PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform/posix/AddressWait.cpp)
endif()
