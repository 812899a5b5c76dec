# Component costs: reference counting, shared-instance lookup, factory lookup through a client.
infra_add_bench(ComponentBench ${CMAKE_CURRENT_LIST_DIR}/ComponentBench.cpp)
