# Timer costs: start+stop with a large schedule, dispatch latency, worker reuse.
infra_add_bench(TimerBench ${CMAKE_CURRENT_LIST_DIR}/TimerBench.cpp)
