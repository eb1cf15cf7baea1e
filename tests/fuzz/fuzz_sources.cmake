# The fuzz targets' entry points, shared by the libFuzzer binaries and the
# corpus replay test.
set(ZYK_FUZZ_TARGET_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/archive_read_fuzz.cc
  ${CMAKE_CURRENT_LIST_DIR}/archive_ops_fuzz.cc
  ${CMAKE_CURRENT_LIST_DIR}/tree_node_fuzz.cc
  ${CMAKE_CURRENT_LIST_DIR}/tree_ops_fuzz.cc
  ${CMAKE_CURRENT_LIST_DIR}/zip_reader_fuzz.cc
  ${CMAKE_CURRENT_LIST_DIR}/host_path_fuzz.cc
  ${CMAKE_CURRENT_LIST_DIR}/file_name_fuzz.cc)
# Target name, entry point.
set(ZYK_FUZZ_TARGETS
  archive_read ArchiveRead
  archive_ops ArchiveOperations
  tree_node TreeNode
  tree_ops TreeOperations
  zip_reader ZipReader
  host_path HostPath
  file_name FileName)
