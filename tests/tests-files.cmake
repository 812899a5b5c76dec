# Files: the file class over the default and hooked file systems, directory search and trees,
# large files. The hook table is process-wide, so hooked scenarios unhook what they hooked.
infra_add_test(FileTest files/FileTest.cpp)
infra_add_test(FileHookTest files/FileHookTest.cpp)
infra_add_test(FileFindTest files/FileFindTest.cpp)
infra_add_test(LfsFileTest files/LfsFileTest.cpp)
