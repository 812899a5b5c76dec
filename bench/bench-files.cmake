# The file class beside the C library's streams, file search beside std::filesystem.
infra_add_bench(FileBench ${CMAKE_CURRENT_LIST_DIR}/FileBench.cpp)
