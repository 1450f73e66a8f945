# libzstd, through pkg-config where it is there, else by its header and library.
# Defines Zstd_FOUND and the imported target Zstd::Zstd.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(PC_ZSTD QUIET libzstd)
endif()
find_path(ZSTD_INCLUDE_DIR zstd.h HINTS ${PC_ZSTD_INCLUDE_DIRS})
find_library(ZSTD_LIBRARY zstd HINTS ${PC_ZSTD_LIBRARY_DIRS})
include(ImportedLibrary)
vantrel_imported_library(Zstd Zstd::Zstd ZSTD)
