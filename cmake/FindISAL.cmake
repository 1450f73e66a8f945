# ISA-L, whose igzip inflates gzip and zip's deflate members several times faster than zlib.
# Defines ISAL_FOUND and the imported target ISAL::ISAL.
find_path(ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
find_library(ISAL_LIBRARY isal)
include(ImportedLibrary)
vantrel_imported_library(ISAL ISAL::ISAL ISAL)
