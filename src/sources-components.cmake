# The component framework: component objects and object tables, the registry with dynamic
# loading of component libraries, interface factories, clients and their idle sweep.
target_sources(infra PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/component/Unknown.cpp
    ${CMAKE_CURRENT_LIST_DIR}/component/ObjectTable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/component/Registry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/component/FactoryMap.cpp
    ${CMAKE_CURRENT_LIST_DIR}/component/Client.cpp
    ${CMAKE_CURRENT_LIST_DIR}/component/ClientList.cpp)

if(WIN32)
    target_sources(infra PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform/win32/DynamicLibrary.cpp)
else()
    target_sources(infra PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform/posix/DynamicLibrary.cpp)
endif()
