# Packet memory: pool manager, packets, block pool, buffer, shared packets, legacy packets.
target_sources(infra PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/memory/BuddyPool.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/Buffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/MemPool.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/Packet.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/PacketManager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory/SharePacket.cpp
    ${CMAKE_CURRENT_LIST_DIR}/legacy/LegacyPacket.cpp)
