# Formatting and parsing by pictures beside strftime and strptime.
infra_add_bench(TimeTextBench ${CMAKE_CURRENT_LIST_DIR}/TimeTextBench.cpp)
