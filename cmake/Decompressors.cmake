# The compression libraries compressed recordings are decoded with, one per format, as one
# target: ombrix_decompressors. Each hands back every byte it decoded before damage or a
# cut end (README: "Why each compression's own library").
find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_package(LibLZMA REQUIRED)
find_path(OMBRIX_ZSTD_INCLUDE_DIR zstd.h REQUIRED)
find_library(OMBRIX_ZSTD_LIBRARY zstd REQUIRED)
find_path(OMBRIX_LZ4_INCLUDE_DIR lz4frame.h REQUIRED)
find_library(OMBRIX_LZ4_LIBRARY lz4 REQUIRED)
if(NOT TARGET ombrix_decompressors)
    add_library(ombrix_decompressors INTERFACE)
    target_include_directories(ombrix_decompressors INTERFACE ${OMBRIX_ZSTD_INCLUDE_DIR}
        ${OMBRIX_LZ4_INCLUDE_DIR})
    target_link_libraries(ombrix_decompressors INTERFACE ZLIB::ZLIB BZip2::BZip2
        LibLZMA::LibLZMA ${OMBRIX_ZSTD_LIBRARY} ${OMBRIX_LZ4_LIBRARY})
endif()
